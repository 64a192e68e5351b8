// Whether this program runs under a sanitizer, so that loops whose every run
// does work the sanitizer cannot speed up (key derivation at full work factor)
// can take fewer shapes there. Sanitized builds run every other loop whole.
#ifndef TELMOR_TEST_RELIABILITY_SANITIZER_H
#define TELMOR_TEST_RELIABILITY_SANITIZER_H

namespace reltest {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace reltest

#endif
