// Constants shared by the service's components.
//
// Every constant has internal linkage: each unit that includes this header has
// its own read-only copy. None of them is read by this library; they are here
// so that every component sees the same values.

#ifndef ZRPERF_UTIL_CONSTANTS_H_
#define ZRPERF_UTIL_CONSTANTS_H_

#include <cstdint>
#include <string>

// Direction of a conversion.
static const std::int32_t ENCODE = 0;
static const std::int32_t DECODE = 1;

// Job option bits; each is a distinct single bit.
static const std::int32_t RETRIVE_OPTION = 0x1000;                 // bit 12
static const std::int32_t OPENBACKUP_OPTION = 0x2000;              // bit 13
static const std::int32_t TURBO_STUB_RECALL_TO_MAILBOX = 0x40000;  // bit 18

// Separates the parts of a network browse path (the control character NAK).
static const char NETWORK_BROWSE_PATH_DELIMITER = 0x15;

// Text of each job submission status, by status number.
static const char* const ZRJobSubmissionStatusStr[4] = {
    "New Job",
    "Job Message Sent",
    "Job Submission Complete",
    "Error in Job Submission",
};

// Backup operation types handled by BLR, ascending, ", "-separated.
static const std::string JMBackupOptypeListForBLR = "4, 14, 18, 30, 43, 59, 60, 65";

// Marker text of a fatal error.
static const std::string vmFatalError = "**FatalError**";

namespace FXTime {
// 100-nanosecond intervals from 1601-01-01 00:00 to 1970-01-01 00:00 (134774 days).
static const std::int64_t SYSTEMTIME_19700101 = 116444736000000000LL;
// 100-nanosecond intervals from 1601-01-01 00:00 to 1899-12-30 00:00 (109205 days).
static const std::int64_t SYSTEMTIME_18991230 = 94353120000000000LL;
}  // namespace FXTime

#endif  // ZRPERF_UTIL_CONSTANTS_H_
