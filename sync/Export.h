// Symbol visibility for the two shared libraries of this project.
//
// Both libraries are compiled with -fvisibility=hidden; only declarations marked
// with one of these macros are part of a library's dynamic interface.
//   ZRPERF_EXPORT  - the performance library (perf/, sync/, util/), libzrperf.
//   ZRFW_EXPORT    - the framework services (framework/), libzrframework.
// The build defines ZRPERF_BUILDING / ZRFW_BUILDING while compiling the library
// itself; consumers see the same macros as plain default-visibility declarations.

#ifndef ZRPERF_SYNC_EXPORT_H_
#define ZRPERF_SYNC_EXPORT_H_

#if defined(__GNUC__) || defined(__clang__)
#define ZRPERF_VISIBLE __attribute__((visibility("default")))
#else
#define ZRPERF_VISIBLE
#endif

#define ZRPERF_EXPORT ZRPERF_VISIBLE
#define ZRFW_EXPORT ZRPERF_VISIBLE

#endif  // ZRPERF_SYNC_EXPORT_H_
