// Forwarding header: the recording engine lives in counters/. This path is
// kept so that code written against <zrperf/framework/CycleClock.h> still builds.

#ifndef ZRPERF_FRAMEWORK_CYCLE_CLOCK_H_
#define ZRPERF_FRAMEWORK_CYCLE_CLOCK_H_

#include <zrperf/counters/CycleClock.h>  // IWYU pragma: export

#endif  // ZRPERF_FRAMEWORK_CYCLE_CLOCK_H_
