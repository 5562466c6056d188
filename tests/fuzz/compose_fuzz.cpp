#include "brimvale/catalogue/ComposeImport.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte picks the file name, so the own-file forms are reached too.
  const char *name = (data[0] & 1) ? "corvane.yml" : "compose.yaml";
  const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
  const auto result = corvane::ComposeImport::importCompose(text, name);
  std::set<int> ports;
  for (const auto &found : result.found) {
    // Every port is a valid TCP port and is claimed once.
    if (found.port < 1 || found.port > 65535 || !ports.insert(found.port).second ||
        found.name.empty())
      __builtin_trap();
  }
  for (const auto &sentence : result.skipped)
    if (sentence.empty())
      __builtin_trap();
  return 0;
}
