/* SPDX-License-Identifier: Apache-2.0 */
// Whether this program runs under a sanitizer, so that loops whose every run
// does work the sanitizer cannot speed up can take fewer shapes there, and
// checks that a sanitizer's own memory would blur (resident size) give way to
// its leak checker.
#ifndef TELMOR_TEST_RELIABILITY_SANITIZER_H
#define TELMOR_TEST_RELIABILITY_SANITIZER_H

#if defined(__SANITIZE_ADDRESS__)
#define TELMOR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TELMOR_TEST_ASAN 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define TELMOR_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TELMOR_TEST_TSAN 1
#endif
#endif

#ifdef TELMOR_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace reltest {

#if defined(TELMOR_TEST_ASAN) || defined(TELMOR_TEST_TSAN)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// A child process ends with _exit, which skips the leak checker that runs at
// a normal exit: children that should be checked ask for it here.
inline bool leaks_found() {
#ifdef TELMOR_TEST_ASAN
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

// Allocations made while one of these lives are never counted as leaks: for
// the start-up a test does on purpose before its runs (OpenSSL's own), whose
// internal caches a later failure inside OpenSSL may orphan in a run.
class NotLeaks {
public:
    NotLeaks() {
#ifdef TELMOR_TEST_ASAN
        __lsan_disable();
#endif
    }
    ~NotLeaks() {
#ifdef TELMOR_TEST_ASAN
        __lsan_enable();
#endif
    }
    NotLeaks(const NotLeaks &) = delete;
    NotLeaks &operator=(const NotLeaks &) = delete;
};

}  // namespace reltest

#endif
