#include "brimvale/foundation/DisplayText.h"

#include "brimvale/platform/Unicode.h"

#include <cstddef>

namespace corvane {

bool isRemovedByDisplayTextCleaner(char32_t scalar) {
  switch (generalCategory(scalar)) {
  case GeneralCategory::control:
  case GeneralCategory::format:
  case GeneralCategory::lineSeparator:
  case GeneralCategory::paragraphSeparator:
  case GeneralCategory::surrogate:
  case GeneralCategory::privateUse:
  case GeneralCategory::unassigned: return true;
  default: return false;
  }
}

namespace {

// More marks than this on one base only stack into unreadable towers.
constexpr int maxCombiningRun = 3;
constexpr std::size_t scalarsPerCharacter = 4;

} // namespace

std::string cleanDisplayText(std::string_view text, int maxLength) {
  if (maxLength <= 0)
    return {};
  std::string filtered;
  filtered.reserve(text.size());
  int combiningRun = 0;
  for (char32_t scalar : unicodeScalars(text)) {
    if (isRemovedByDisplayTextCleaner(scalar))
      continue;
    if (isCombiningMark(scalar)) {
      if (combiningRun < maxCombiningRun)
        appendUTF8(filtered, scalar);
      if (combiningRun <= maxCombiningRun)
        ++combiningRun; // saturates: only "past the cap" matters
      continue;
    }
    combiningRun = 0;
    appendUTF8(filtered, scalar);
  }

  const std::string trimmed = trimmingWhitespaceAndNewlines(filtered);
  const auto limit = static_cast<std::size_t>(maxLength);
  std::size_t budget = scalarsPerCharacter * limit;
  std::size_t taken = 0;
  std::string result;
  for (const auto &character : graphemeClusters(trimmed)) {
    if (taken == limit)
      break;
    const std::size_t scalars = unicodeScalars(character).size();
    if (scalars > budget)
      break;
    budget -= scalars;
    ++taken;
    result += character;
  }
  return result;
}

} // namespace corvane
