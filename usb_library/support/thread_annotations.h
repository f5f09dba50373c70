// Attributes for clang's thread-safety analysis (-Wthread-safety): which lock guards which data
// and which functions take or need it. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define USB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define USB_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) USB_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY USB_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) USB_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) USB_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) USB_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) USB_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) USB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) USB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) USB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) USB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) USB_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) USB_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) USB_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS USB_THREAD_ANNOTATION(no_thread_safety_analysis)
