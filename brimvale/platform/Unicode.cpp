#include "brimvale/platform/Unicode.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace corvane {

namespace {

constexpr char32_t replacementCharacter = 0xFFFD;

// Ill-formed input becomes U+FFFD so that every later step sees well-formed text.
icu::UnicodeString toUnicodeString(std::string_view utf8) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

std::string toUTF8(const icu::UnicodeString &text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

} // namespace

std::vector<char32_t> unicodeScalars(std::string_view utf8) {
  std::vector<char32_t> scalars;
  scalars.reserve(utf8.size());
  const auto *bytes = reinterpret_cast<const uint8_t *>(utf8.data());
  const auto length = static_cast<int32_t>(utf8.size());
  int32_t offset = 0;
  while (offset < length) {
    UChar32 c;
    U8_NEXT(bytes, offset, length, c);
    scalars.push_back(c < 0 ? replacementCharacter : static_cast<char32_t>(c));
  }
  return scalars;
}

void appendUTF8(std::string &out, char32_t scalar) {
  if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF))
    scalar = replacementCharacter;
  char buffer[U8_MAX_LENGTH];
  int32_t length = 0;
  U8_APPEND_UNSAFE(buffer, length, static_cast<UChar32>(scalar));
  out.append(buffer, static_cast<std::size_t>(length));
}

std::string validUTF8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char32_t scalar : unicodeScalars(utf8))
    appendUTF8(out, scalar);
  return out;
}

GeneralCategory generalCategory(char32_t scalar) {
  switch (u_charType(static_cast<UChar32>(scalar))) {
  case U_UPPERCASE_LETTER: return GeneralCategory::uppercaseLetter;
  case U_LOWERCASE_LETTER: return GeneralCategory::lowercaseLetter;
  case U_TITLECASE_LETTER: return GeneralCategory::titlecaseLetter;
  case U_MODIFIER_LETTER: return GeneralCategory::modifierLetter;
  case U_OTHER_LETTER: return GeneralCategory::otherLetter;
  case U_NON_SPACING_MARK: return GeneralCategory::nonspacingMark;
  case U_COMBINING_SPACING_MARK: return GeneralCategory::spacingMark;
  case U_ENCLOSING_MARK: return GeneralCategory::enclosingMark;
  case U_DECIMAL_DIGIT_NUMBER: return GeneralCategory::decimalNumber;
  case U_LETTER_NUMBER: return GeneralCategory::letterNumber;
  case U_OTHER_NUMBER: return GeneralCategory::otherNumber;
  case U_SPACE_SEPARATOR: return GeneralCategory::spaceSeparator;
  case U_LINE_SEPARATOR: return GeneralCategory::lineSeparator;
  case U_PARAGRAPH_SEPARATOR: return GeneralCategory::paragraphSeparator;
  case U_CONTROL_CHAR: return GeneralCategory::control;
  case U_FORMAT_CHAR: return GeneralCategory::format;
  case U_PRIVATE_USE_CHAR: return GeneralCategory::privateUse;
  case U_SURROGATE: return GeneralCategory::surrogate;
  case U_DASH_PUNCTUATION: return GeneralCategory::dashPunctuation;
  case U_START_PUNCTUATION: return GeneralCategory::openPunctuation;
  case U_END_PUNCTUATION: return GeneralCategory::closePunctuation;
  case U_CONNECTOR_PUNCTUATION: return GeneralCategory::connectorPunctuation;
  case U_OTHER_PUNCTUATION: return GeneralCategory::otherPunctuation;
  case U_MATH_SYMBOL: return GeneralCategory::mathSymbol;
  case U_CURRENCY_SYMBOL: return GeneralCategory::currencySymbol;
  case U_MODIFIER_SYMBOL: return GeneralCategory::modifierSymbol;
  case U_OTHER_SYMBOL: return GeneralCategory::otherSymbol;
  case U_INITIAL_PUNCTUATION: return GeneralCategory::initialPunctuation;
  case U_FINAL_PUNCTUATION: return GeneralCategory::finalPunctuation;
  default: return GeneralCategory::unassigned;
  }
}

bool isCombiningMark(char32_t scalar) {
  const auto category = generalCategory(scalar);
  return category == GeneralCategory::nonspacingMark || category == GeneralCategory::spacingMark ||
         category == GeneralCategory::enclosingMark;
}

bool isControlCharacter(char32_t scalar) {
  const auto category = generalCategory(scalar);
  return category == GeneralCategory::control || category == GeneralCategory::format;
}

bool isWhitespaceOrNewline(char32_t scalar) {
  return u_isUWhiteSpace(static_cast<UChar32>(scalar));
}

std::string removingControlCharacters(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char32_t scalar : unicodeScalars(utf8))
    if (!isControlCharacter(scalar))
      appendUTF8(out, scalar);
  return out;
}

std::string trimmingWhitespaceAndNewlines(std::string_view utf8) {
  const auto scalars = unicodeScalars(utf8);
  std::size_t begin = 0;
  std::size_t end = scalars.size();
  while (begin < end && isWhitespaceOrNewline(scalars[begin]))
    ++begin;
  while (end > begin && isWhitespaceOrNewline(scalars[end - 1]))
    --end;
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = begin; i < end; ++i)
    appendUTF8(out, scalars[i]);
  return out;
}

std::vector<std::string> graphemeClusters(std::string_view utf8) {
  const icu::UnicodeString text = toUnicodeString(utf8);
  std::vector<std::string> clusters;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> iterator(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !iterator) {
    // Without break data each code point stands alone; never lose text.
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
      clusters.push_back(toUTF8(text.tempSubStringBetween(i, text.moveIndex32(i, 1))));
    return clusters;
  }
  iterator->setText(text);
  int32_t start = iterator->first();
  for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
       start = end, end = iterator->next())
    clusters.push_back(toUTF8(text.tempSubStringBetween(start, end)));
  return clusters;
}

std::size_t characterCount(std::string_view utf8) {
  return graphemeClusters(utf8).size();
}

std::string characterPrefix(std::string_view utf8, std::size_t count) {
  std::string out;
  std::size_t taken = 0;
  for (const auto &cluster : graphemeClusters(utf8)) {
    if (taken++ == count)
      break;
    out += cluster;
  }
  return out;
}

std::string foldingCase(std::string_view utf8) {
  icu::UnicodeString text = toUnicodeString(utf8);
  text.foldCase(U_FOLD_CASE_DEFAULT);
  return toUTF8(text);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return compareIgnoringCase(a, b) == 0;
}

int compareIgnoringCase(std::string_view a, std::string_view b) {
  icu::UnicodeString left = toUnicodeString(a);
  icu::UnicodeString right = toUnicodeString(b);
  left.foldCase(U_FOLD_CASE_DEFAULT);
  right.foldCase(U_FOLD_CASE_DEFAULT);
  return left.compareCodePointOrder(right);
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  return foldingCase(haystack).find(foldingCase(needle)) != std::string::npos;
}

} // namespace corvane
