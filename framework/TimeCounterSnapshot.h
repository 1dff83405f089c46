// Forwarding header: the recording engine lives in counters/. This path is
// kept so that code written against <zrperf/framework/TimeCounterSnapshot.h> still builds.

#ifndef ZRPERF_FRAMEWORK_TIME_COUNTER_SNAPSHOT_H_
#define ZRPERF_FRAMEWORK_TIME_COUNTER_SNAPSHOT_H_

#include <zrperf/counters/TimeCounterSnapshot.h>  // IWYU pragma: export

#endif  // ZRPERF_FRAMEWORK_TIME_COUNTER_SNAPSHOT_H_
