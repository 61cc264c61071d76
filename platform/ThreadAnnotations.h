// Clang's thread-safety attributes, so that the compiler checks which lock
// guards what (the clang configuration of scripts/build builds with
// -Wthread-safety -Werror). Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define EVT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define EVT_THREAD_ANNOTATION(x)
#endif

// A lock type.
#define EVT_CAPABILITY(name) EVT_THREAD_ANNOTATION(capability(name))
// An object that holds a lock for its lifetime.
#define EVT_SCOPED_CAPABILITY EVT_THREAD_ANNOTATION(scoped_lockable)
// A member read and written only while the lock is held.
#define EVT_GUARDED_BY(lock) EVT_THREAD_ANNOTATION(guarded_by(lock))
// A function the caller calls with the lock held.
#define EVT_REQUIRES(...) EVT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes the lock and returns with it held, or releases it.
#define EVT_ACQUIRE(...) EVT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define EVT_RELEASE(...) EVT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

#define EVT_TRY_ACQUIRE(...) EVT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function the caller must not call with the lock held (it takes it).
#define EVT_EXCLUDES(...) EVT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// For the rare function whose locking the analysis cannot follow; say why.
#define EVT_NO_THREAD_SAFETY_ANALYSIS EVT_THREAD_ANNOTATION(no_thread_safety_analysis)
