#pragma once
// Clang's thread-safety annotations (-Wthread-safety): which lock guards a
// member, which lock a function needs. They expand to nothing for other
// compilers. Use them with platform::Mutex (platform/mutex.h), which carries
// the annotations std::mutex lacks in libstdc++.

#if defined(__clang__)
#define QV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QV_THREAD_ANNOTATION(x)
#endif

#define QV_CAPABILITY(name) QV_THREAD_ANNOTATION(capability(name))
#define QV_SCOPED_CAPABILITY QV_THREAD_ANNOTATION(scoped_lockable)
#define QV_GUARDED_BY(lock) QV_THREAD_ANNOTATION(guarded_by(lock))
#define QV_PT_GUARDED_BY(lock) QV_THREAD_ANNOTATION(pt_guarded_by(lock))
#define QV_REQUIRES(...) QV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QV_EXCLUDES(...) QV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QV_ACQUIRE(...) QV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QV_RELEASE(...) QV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QV_NO_THREAD_SAFETY_ANALYSIS QV_THREAD_ANNOTATION(no_thread_safety_analysis)
