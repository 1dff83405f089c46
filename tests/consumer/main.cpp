// Uses one piece of every part of the installed interface; exits 0 when all
// of them answer as expected.
#include <zrperf/zrperf.h>
// Paths from before the engine moved to counters/ still resolve.
#include <zrperf/framework/MediaSpeedCounter.h>
#include <zrperf/framework/TimeCounter.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class CountingSink : public CLogWriterInterface {
 public:
  void WriteRecord(int, const char*, int, const std::string& message) override {
    last = message;
    ++records;
  }
  int records = 0;
  std::string last;
};

int Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "consumer: %s failed\n", what);
  return ok ? 0 : 1;
}

}  // namespace

int main() {
  boost::shared_ptr<CountingSink> sink(new CountingSink);
  g_ptrLogWriter = sink;
  int failures = 0;

  failures += Check(__zrswap_int32(0x12345678u) == 0x78563412u, "swap");

  FXCriticalSection cs;
  {
    auto_lock outer(&cs, true);
    auto_lock inner(&cs, true);
  }
  failures += Check(cs.TryLock(CTimeInterval::FromSeconds(1)), "critical section");
  cs.Unlock();

  CPerfCounters counters;
  { CScopedTimeSample sample(counters.GetCounter("consumer.op").get()); }
  counters.Log();
  failures +=
      Check(sink->records == 1 && sink->last.rfind("Exec Stats: \n\t\t\t\tconsumer.op: ", 0) == 0,
            "statistics record");

  std::vector<std::string> values{"kept"};
  CKyError err = ZrScsiUtils::GetCommaSeperatedValues("/nonexistent/zrperf-consumer", values);
  failures += Check(!err.IsError() && values.size() == 1, "value reader");

  PerfCntLogger* logger = PerfCntLogger::Instance();
  failures += Check(logger != nullptr && logger->GetPerfCounters() != nullptr, "logger");
  logger->StopDebugThread();

#ifdef ZRPERF_PACKAGE_VERSION
  // The installed <zrperf/Version.h> matches the package that find_package found.
  failures +=
      Check(std::string(ZRPERF_VERSION_STRING) == ZRPERF_PACKAGE_VERSION &&
                std::to_string(ZRPERF_VERSION_MAJOR) + "." + std::to_string(ZRPERF_VERSION_MINOR) +
                        "." + std::to_string(ZRPERF_VERSION_PATCH) ==
                    ZRPERF_VERSION_STRING,
            "version header");
#endif

  if (failures == 0) std::printf("consumer: ok\n");
  return failures == 0 ? 0 : 1;
}
