#include "brimvale/catalogue/Yaml.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

// Walks the whole tree so that every node is touched, and checks equality is reflexive.
std::size_t walk(const corvane::YAMLNode &node) {
  std::size_t count = 1;
  for (const auto &[key, value] : node.pairs()) {
    if (corvane::MiniYAML::lookup(key, node) == nullptr)
      __builtin_trap();
    count += walk(value);
  }
  for (const auto &item : node.items())
    count += walk(item);
  return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  auto document = corvane::MiniYAML::parse(corvane::MiniYAML::lines(text));
  if (document) {
    walk(*document);
    const auto copy = *document;
    if (!(copy == *document))
      __builtin_trap();
  }
  return 0;
}
