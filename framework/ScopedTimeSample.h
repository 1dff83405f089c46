// Forwarding header: the recording engine lives in counters/. This path is
// kept so that code written against <zrperf/framework/ScopedTimeSample.h> still builds.

#ifndef ZRPERF_FRAMEWORK_SCOPED_TIME_SAMPLE_H_
#define ZRPERF_FRAMEWORK_SCOPED_TIME_SAMPLE_H_

#include <zrperf/counters/ScopedTimeSample.h>  // IWYU pragma: export

#endif  // ZRPERF_FRAMEWORK_SCOPED_TIME_SAMPLE_H_
