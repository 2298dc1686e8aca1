// Settings that widen a test run, read from the environment.
#ifndef TARN_TESTS_SUPPORT_TEST_ENV_H
#define TARN_TESTS_SUPPORT_TEST_ENV_H

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tarn_test {

// The count that environment variable `name` holds when it is a whole
// number from 1 to 2^32 - 1 (decimal digits only), else `fallback`. A value
// that is set but not such a number is reported on stderr, so that a typo
// or a 0 never turns a sampled run into an empty or an exhaustive one.
inline uint32_t env_count(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::isdigit(static_cast<unsigned char>(text[0])) ? std::strtoull(text, &end, 10) : 0;
  if (end != nullptr && *end == '\0' && errno == 0 && value >= 1 && value <= UINT32_MAX)
    return static_cast<uint32_t>(value);
  std::fprintf(stderr, "%s=\"%s\" is not a whole number of at least 1: using %u\n", name, text,
               static_cast<unsigned>(fallback));
  return fallback;
}

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_TEST_ENV_H
