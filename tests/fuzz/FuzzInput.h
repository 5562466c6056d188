#pragma once

#include "brimvale/platform/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// What every target does with a failed property: stop at once, so that libFuzzer keeps the
// input as a crash.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition))                                                                              \
      __builtin_trap();                                                                            \
  } while (false)

namespace corvane::fuzz {

inline std::string_view text(const std::uint8_t *data, std::size_t size) {
  return {reinterpret_cast<const char *>(data), size};
}

inline Bytes bytes(const std::uint8_t *data, std::size_t size) {
  return Bytes(data, data + size);
}

} // namespace corvane::fuzz
