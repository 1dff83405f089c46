#include "Misc.h"

#include <climits>
#include <cstring>

#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/framework/PlatformInfo.h>
#include <zrperf/util/internal/RecordText.h>

namespace {

constexpr char kSection[] = "Drovane";
constexpr char kValueName[] = "ZrScsiSrvBStorStagingDir";

// What the records name as their origin. The texts and line numbers are fixed:
// the service's log readers and support tooling match on them.
constexpr char kFunctionName[] = "UpdateBStorStagingLocRegKey";
constexpr char kFunction[] = "bool UpdateBStorStagingLocRegKey(std::string)";
constexpr int kWrittenLine = 18;
constexpr int kWriteFailedLine = 21;

}  // namespace

// The path is taken by value: the exported signature is fixed.
bool UpdateBStorStagingLocRegKey(std::string path) {  // NOLINT(performance-unnecessary-value-param)
  ZRPlatformInfo store;
  std::string stored;
  if (store.getString(kSection, kValueName, &stored) != 0 && stored == path) return true;

  // The store takes an int length: a longer path is refused, not cut.
  if (path.length() <= static_cast<std::size_t>(INT_MAX) &&
      store.setString(kSection, kValueName, path.c_str(), static_cast<int>(path.length())) != 0) {
    // Up to the first NUL, with control characters escaped: a path cannot
    // forge a record line.
    const std::string shown =
        zrperf::EscapeRecordText(std::string(path.c_str(), std::strlen(path.c_str())));
    zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, 0, kFunction, kWrittenLine,
                  "%s: set %s regkey to %s", kFunctionName, kValueName, shown.c_str());
    return true;
  }

  zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, -1, kFunction, kWriteFailedLine,
                "Could not set regkey %s", kValueName);
  return false;
}
