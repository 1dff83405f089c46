// UpdateBStorStagingLocRegKey: keeps the service's staging-directory path in
// the machine's configuration store (section "Drovane", value
// "ZrScsiSrvBStorStagingDir"), writing only when the stored value differs.
//
// Thread-safety: takes no lock of its own and may be called from any thread.
// The read and the write are two separate store operations, so a concurrent
// caller may change the value between them.

#ifndef ZRPERF_UTIL_MISC_H_
#define ZRPERF_UTIL_MISC_H_

#include <string>

#include <zrperf/sync/Export.h>

// Stores `path` exactly as given (no normalisation, no check that the
// directory exists) unless the store already holds the same bytes. Returns true
// when the store holds `path` afterwards, false when the write failed. A write
// is reported at level 0 (the path up to its first NUL, control characters
// escaped as in util/internal/RecordText.h), a failed write at level -1, each
// only when the log sink's level admits it. A path longer than the store takes
// (INT_MAX bytes) is a failed write. Exceptions of the store or of allocation pass to the
// caller.
ZRPERF_EXPORT bool UpdateBStorStagingLocRegKey(std::string path);

#endif  // ZRPERF_UTIL_MISC_H_
