// The capability attributes clang's -Wthread-safety checks: which lock
// guards which data, which functions need a lock held, and the order locks
// are taken in. Empty under other compilers. The build that runs the check
// is make test-clang.
#pragma once

#if defined(__clang__)
#define QEL_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QEL_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(name) QEL_THREAD_ATTRIBUTE(capability(name))
#define SCOPED_CAPABILITY QEL_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(lock) QEL_THREAD_ATTRIBUTE(guarded_by(lock))
#define ACQUIRED_BEFORE(...) QEL_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QEL_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QEL_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QEL_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QEL_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QEL_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QEL_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QEL_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) QEL_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// Only for the lock wrappers themselves, whose bodies the checker cannot follow.
#define NO_THREAD_SAFETY_ANALYSIS QEL_THREAD_ATTRIBUTE(no_thread_safety_analysis)
