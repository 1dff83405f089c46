// zrperf: in-process performance statistics and service utilities.
//
// The whole public interface of the library (libzrperf) and of the framework
// services it stands on (libzrframework). Build with
// BOOST_INTERPROCESS_FORCE_GENERIC_EMULATION defined, as the CMake package and
// zrperf.pc do.

#ifndef ZRPERF_ZRPERF_H_
#define ZRPERF_ZRPERF_H_

// ZRPERF_VERSION_MAJOR/MINOR/PATCH and ZRPERF_VERSION_STRING (generated).
#include <zrperf/Version.h>

// Value types and synchronisation.
#include "sync/AutoLock.h"
#include "sync/CodeLocation.h"
#include "sync/CriticalSection.h"
#include "sync/Export.h"
#include "sync/KyError.h"
#include "sync/LockableResource.h"
#include "sync/Mutex.h"
#include "sync/ThreadAnnotations.h"
#include "sync/ThreadId.h"
#include "sync/TimeInterval.h"

// The recording engine: counters, snapshots, the cycle clock, timed scopes.
#include "counters/CycleClock.h"
#include "counters/MediaSpeedCounter.h"
#include "counters/MediaSpeedCounterSnapshot.h"
#include "counters/ScopedTimeSample.h"
#include "counters/TimeCounter.h"
#include "counters/TimeCounterSnapshot.h"
#include "counters/TimeStamp.h"

// Framework services.
#include "framework/AlertableEventThread.h"
#include "framework/ErrorUtil.h"
#include "framework/KyPath.h"
#include "framework/LogWriterInterface.h"
#include "framework/PlatformInfo.h"
#include "framework/SpdlogLogWriter.h"

// Performance statistics.
#include "perf/PerfCntLogger.h"
#include "perf/PerfCounters.h"

// Service utilities.
#include "util/ByteSwap.h"
#include "util/Constants.h"
#include "util/Misc.h"
#include "util/ZrScsiUtils.h"

#endif  // ZRPERF_ZRPERF_H_
