// Clang's thread-safety attributes, so that the compiler checks which lock
// guards what (-Wthread-safety). Other compilers see nothing.
//
//  - CAPABILITY marks a lock class, SCOPED_CAPABILITY a holder that takes
//    a lock for its lifetime.
//  - GUARDED_BY(m) on a member: read and written only with m held;
//    PT_GUARDED_BY(m) the same for what a pointer member points to.
//  - REQUIRES(m) on a function: the caller holds m; EXCLUDES(m): the caller
//    does not (the function takes it itself).
//  - ACQUIRE / RELEASE / TRY_ACQUIRE on the functions that take and give
//    back a lock.
//  - NO_THREAD_SAFETY_ANALYSIS on a function whose locking the analysis
//    cannot follow; each use says why it is right.
#ifndef KST_PLATFORM_THREAD_ANNOTATIONS_H
#define KST_PLATFORM_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define KST_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KST_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KST_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KST_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KST_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KST_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KST_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KST_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KST_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KST_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KST_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KST_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KST_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KST_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KST_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KST_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
