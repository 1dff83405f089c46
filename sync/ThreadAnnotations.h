// Lock contracts that clang checks at compile time (-Wthread-safety).
//
// Fields say which lock guards them and functions say which locks they need,
// take or give back; clang then proves every access in the library against
// those statements. Under other compilers the macros expand to nothing.
//
//   class Registry {
//     void Add(int v) ZR_EXCLUDES(m_mutex);
//     void AddLocked(int v) ZR_REQUIRES(m_mutex);
//     zrperf::Mutex m_mutex;  // sync/Mutex.h: std::mutex, marked as a capability
//     std::vector<int> m_values ZR_GUARDED_BY(m_mutex);
//   };
//
// The macros are prefixed so that a host's own annotation macros never clash
// with ours. Thread-safe to include anywhere; no run-time cost.

#ifndef ZRPERF_SYNC_THREADANNOTATIONS_H_
#define ZRPERF_SYNC_THREADANNOTATIONS_H_

#if defined(__clang__)
#define ZR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZR_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (a "capability" in clang's terms).
#define ZR_CAPABILITY(name) ZR_THREAD_ANNOTATION(capability(name))
// An RAII type that holds a capability for its lifetime.
#define ZR_SCOPED_CAPABILITY ZR_THREAD_ANNOTATION(scoped_lockable)

// Data read or written only with the lock held.
#define ZR_GUARDED_BY(x) ZR_THREAD_ANNOTATION(guarded_by(x))
// Data reached through a pointer only with the lock held.
#define ZR_PT_GUARDED_BY(x) ZR_THREAD_ANNOTATION(pt_guarded_by(x))

// Lock order: this lock is taken after / before the ones named.
#define ZR_ACQUIRED_AFTER(...) ZR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ZR_ACQUIRED_BEFORE(...) ZR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// The caller must hold the locks (exclusively) when it calls the function.
#define ZR_REQUIRES(...) ZR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them itself).
#define ZR_EXCLUDES(...) ZR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes / gives back the locks (the object itself when none is named).
#define ZR_ACQUIRE(...) ZR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZR_RELEASE(...) ZR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks when it returns `result`.
#define ZR_TRY_ACQUIRE(...) ZR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// The function returns a reference to the named lock.
#define ZR_RETURN_CAPABILITY(x) ZR_THREAD_ANNOTATION(lock_returned(x))
// Tells the checker the lock is held here (checked by nothing at run time).
#define ZR_ASSERT_CAPABILITY(x) ZR_THREAD_ANNOTATION(assert_capability(x))

// Opts a function out of the analysis. Each use says why in a comment.
#define ZR_NO_THREAD_SAFETY_ANALYSIS ZR_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // ZRPERF_SYNC_THREADANNOTATIONS_H_
