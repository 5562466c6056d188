#include "brimvale/foundation/DisplayText.h"
#include "brimvale/platform/Unicode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte picks the limit, covering the ones in use (40 to 200) and tiny ones.
  const int limit = 1 + data[0];
  const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
  const std::string cleaned = corvane::cleanDisplayText(text, limit);

  const auto scalars = corvane::unicodeScalars(cleaned);
  if (corvane::validUTF8(cleaned) != cleaned ||
      corvane::characterCount(cleaned) > static_cast<std::size_t>(limit) ||
      scalars.size() > 4 * static_cast<std::size_t>(limit))
    __builtin_trap();
  if (!scalars.empty() && corvane::isWhitespaceOrNewline(scalars.front()))
    __builtin_trap();
  int marks = 0;
  for (char32_t scalar : scalars) {
    if (corvane::isRemovedByDisplayTextCleaner(scalar))
      __builtin_trap();
    marks = corvane::isCombiningMark(scalar) ? marks + 1 : 0;
    if (marks > 3)
      __builtin_trap();
  }
  // A larger limit only lets more of the same text through, and the cleaner is a function.
  const std::string longer = corvane::cleanDisplayText(text, limit + 7);
  if (longer.compare(0, cleaned.size(), cleaned) != 0 ||
      corvane::cleanDisplayText(text, limit) != cleaned)
    __builtin_trap();
  return 0;
}
