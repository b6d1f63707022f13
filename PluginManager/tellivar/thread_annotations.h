// Clang's thread-safety attributes, so the compiler checks which lock guards
// which member and which functions expect a lock held
// (`clang++ -Wthread-safety`; scripts/thread_safety.sh). Other compilers see
// nothing: every macro expands to nothing there.
#pragma once

#if defined(__clang__)
#define TELLIVAR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TELLIVAR_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) TELLIVAR_THREAD_ANNOTATION(capability(name))
// An RAII type that holds a lock for its lifetime.
#define SCOPED_CAPABILITY TELLIVAR_THREAD_ANNOTATION(scoped_lockable)
// A member read or written only with the lock held (written: as writer).
#define GUARDED_BY(lock) TELLIVAR_THREAD_ANNOTATION(guarded_by(lock))
// A function that expects its caller to hold the lock, as writer or as reader.
#define REQUIRES(...) TELLIVAR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TELLIVAR_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// A function that takes the lock itself, so its caller must not hold it.
#define EXCLUDES(...) TELLIVAR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes the lock, as writer or as reader, and leaves it held.
#define ACQUIRE(...) TELLIVAR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TELLIVAR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
// A function that releases a lock held in either mode.
#define RELEASE(...) TELLIVAR_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
// Turns the analysis off for one function whose locking it cannot follow;
// the function says why.
#define NO_THREAD_SAFETY_ANALYSIS TELLIVAR_THREAD_ANNOTATION(no_thread_safety_analysis)
