#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// A byte string: what the other platform calls Data. Keys, nonces, frames and relayed
// chunks are all passed around as this.
using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline std::string textOf(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

} // namespace corvane
