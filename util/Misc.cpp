#include "Misc.h"

#include <climits>
#include <cstring>

#include "../framework/LogWriterInterface.h"
#include "../framework/PlatformInfo.h"
#include "internal/RecordText.h"

namespace {

constexpr char kSection[] = "Drovane";
constexpr char kValueName[] = "ZrScsiSrvBStorStagingDir";

// What the records name as their origin. The texts and line numbers are fixed:
// the service's log readers and support tooling match on them.
constexpr char kFunctionName[] = "UpdateBStorStagingLocRegKey";
constexpr char kFunction[] = "bool UpdateBStorStagingLocRegKey(std::string)";
constexpr int kWrittenLine = 18;
constexpr int kWriteFailedLine = 21;

// True when the host has installed a sink and its level admits a record of
// `level`. Without a sink every record is dropped.
bool Admits(int level) {
  CLogWriterInterface* sink = g_ptrLogWriter.get();
  return sink != nullptr && sink->GetLogLevel() >= level;
}

}  // namespace

bool UpdateBStorStagingLocRegKey(std::string path) {
  ZRPlatformInfo store;
  std::string stored;
  if (store.getString(kSection, kValueName, &stored) != 0 && stored == path) return true;

  // The store takes an int length: a longer path is refused, not cut.
  if (path.length() <= static_cast<std::size_t>(INT_MAX) &&
      store.setString(kSection, kValueName, path.c_str(), static_cast<int>(path.length())) != 0) {
    if (Admits(0)) {
      if (CLogWriterInterface* sink = g_ptrLogWriter.get()) {
        // Up to the first NUL, with control characters escaped: a path cannot
        // forge a record line.
        const std::string shown =
            zrperf::EscapeRecordText(std::string(path.c_str(), std::strlen(path.c_str())));
        sink->WriteLog(0, kFunction, kWrittenLine, 0, 0, "%s: set %s regkey to %s", kFunctionName,
                       kValueName, shown.c_str());
      }
    }
    return true;
  }

  if (Admits(-1)) {
    if (CLogWriterInterface* sink = g_ptrLogWriter.get()) {
      sink->WriteLog(-1, kFunction, kWriteFailedLine, 0, 0, "Could not set regkey %s", kValueName);
    }
  }
  return false;
}
