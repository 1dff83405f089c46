// Forwarding header: the recording engine lives in counters/. This path is
// kept so that code written against <zrperf/framework/TimeStamp.h> still builds.

#ifndef ZRPERF_FRAMEWORK_TIME_STAMP_H_
#define ZRPERF_FRAMEWORK_TIME_STAMP_H_

#include <zrperf/counters/TimeStamp.h>  // IWYU pragma: export

#endif  // ZRPERF_FRAMEWORK_TIME_STAMP_H_
