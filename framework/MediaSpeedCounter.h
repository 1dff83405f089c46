// Forwarding header: the recording engine lives in counters/. This path is
// kept so that code written against <zrperf/framework/MediaSpeedCounter.h> still builds.

#ifndef ZRPERF_FRAMEWORK_MEDIA_SPEED_COUNTER_H_
#define ZRPERF_FRAMEWORK_MEDIA_SPEED_COUNTER_H_

#include <zrperf/counters/MediaSpeedCounter.h>  // IWYU pragma: export

#endif  // ZRPERF_FRAMEWORK_MEDIA_SPEED_COUNTER_H_
