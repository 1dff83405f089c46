// Symbol visibility for the two shared libraries of this project.
//
// Both libraries are compiled with -fvisibility=hidden; only declarations marked
// with one of these macros are part of a library's dynamic interface.
//   ZRPERF_EXPORT  - the performance library (perf/, sync/, util/), libzrperf.
//   ZRFW_EXPORT    - the framework services (framework/), libzrframework.
// On ELF the same default visibility serves the library and its users, so no
// import/export distinction is needed. libzrperf's interface is also pinned by
// the linker version script cmake/zrperf.map.

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
