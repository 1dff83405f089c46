// Forwarding header: the recording engine lives in counters/. This path is
// kept so that code written against <zrperf/framework/TimeCounter.h> still builds.

#ifndef ZRPERF_FRAMEWORK_TIME_COUNTER_H_
#define ZRPERF_FRAMEWORK_TIME_COUNTER_H_

#include <zrperf/counters/TimeCounter.h>  // IWYU pragma: export

#endif  // ZRPERF_FRAMEWORK_TIME_COUNTER_H_
