// Benchmarks' log sink: formats nothing and writes nothing, so that a
// benchmark of a pass times the pass and not the sink. Including this header
// installs it in g_ptrLogWriter before main() runs.
//
// Thread-safety: every member is a no-op.

#ifndef ZRPERF_BENCH_DISCARDINGSINK_H_
#define ZRPERF_BENCH_DISCARDINGSINK_H_

#include <zrperf/framework/LogWriterInterface.h>

#include <string>

namespace zrbench {

class DiscardingSink : public CLogWriterInterface {
 public:
  void WriteLog(int, const char*, int, int, int, const char*, ...) override {}
  void WriteRecord(int, const char*, int, const std::string&) override {}
  int GetLogLevel() override { return 0; }
};

struct DiscardingSinkInstaller {
  DiscardingSinkInstaller() { g_ptrLogWriter.reset(new DiscardingSink); }
};
inline DiscardingSinkInstaller g_installDiscardingSink;

}  // namespace zrbench

#endif  // ZRPERF_BENCH_DISCARDINGSINK_H_
