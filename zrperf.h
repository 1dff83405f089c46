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
#include <zrperf/sync/AutoLock.h>
#include <zrperf/sync/CodeLocation.h>
#include <zrperf/sync/CriticalSection.h>
#include <zrperf/sync/Export.h>
#include <zrperf/sync/KyError.h>
#include <zrperf/sync/LockableResource.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include <zrperf/sync/ThreadId.h>
#include <zrperf/sync/TimeInterval.h>

// The recording engine: counters, snapshots, the cycle clock, timed scopes.
#include <zrperf/counters/CycleClock.h>
#include <zrperf/counters/MediaSpeedCounter.h>
#include <zrperf/counters/MediaSpeedCounterSnapshot.h>
#include <zrperf/counters/ScopedTimeSample.h>
#include <zrperf/counters/TimeCounter.h>
#include <zrperf/counters/TimeCounterSnapshot.h>
#include <zrperf/counters/TimeStamp.h>

// Framework services.
#include <zrperf/framework/AlertableEventThread.h>
#include <zrperf/framework/ErrorUtil.h>
#include <zrperf/framework/KyPath.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/framework/PlatformInfo.h>
#include <zrperf/framework/SpdlogLogWriter.h>

// Performance statistics.
#include <zrperf/perf/PerfCntLogger.h>
#include <zrperf/perf/PerfCounters.h>

// Service utilities.
#include <zrperf/util/ByteSwap.h>
#include <zrperf/util/Constants.h>
#include <zrperf/util/Misc.h>
#include <zrperf/util/ZrScsiUtils.h>

#endif  // ZRPERF_ZRPERF_H_
