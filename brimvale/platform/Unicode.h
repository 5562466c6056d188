#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The Unicode scalars of UTF-8 text; each ill-formed sequence becomes U+FFFD.
std::vector<char32_t> unicodeScalars(std::string_view utf8);

// Appends one scalar as UTF-8 (surrogates and values above U+10FFFF become U+FFFD).
void appendUTF8(std::string &out, char32_t scalar);

// UTF-8 text with every ill-formed sequence replaced by U+FFFD.
std::string validUTF8(std::string_view utf8);

// General categories, as ICU reports them for a scalar.
enum class GeneralCategory {
  unassigned, // Cn
  uppercaseLetter,
  lowercaseLetter,
  titlecaseLetter,
  modifierLetter,
  otherLetter,
  nonspacingMark,
  spacingMark,
  enclosingMark,
  decimalNumber,
  letterNumber,
  otherNumber,
  spaceSeparator,
  lineSeparator,
  paragraphSeparator,
  control,
  format,
  privateUse,
  surrogate,
  dashPunctuation,
  openPunctuation,
  closePunctuation,
  connectorPunctuation,
  otherPunctuation,
  mathSymbol,
  currencySymbol,
  modifierSymbol,
  otherSymbol,
  initialPunctuation,
  finalPunctuation,
};

GeneralCategory generalCategory(char32_t scalar);

// Mn, Mc or Me.
bool isCombiningMark(char32_t scalar);

// The control-character set of names: categories Cc and Cf.
bool isControlCharacter(char32_t scalar);

// White space and newlines: the White_Space property (spaces, tabs, line breaks, NEL, U+2028/9).
bool isWhitespaceOrNewline(char32_t scalar);

// Removes every scalar of the control-character set.
std::string removingControlCharacters(std::string_view utf8);

// Trims white space and newlines from both ends.
std::string trimmingWhitespaceAndNewlines(std::string_view utf8);

// Extended grapheme clusters: what a user sees as one character.
std::vector<std::string> graphemeClusters(std::string_view utf8);
std::size_t characterCount(std::string_view utf8);

// The first `count` characters (whole grapheme clusters).
std::string characterPrefix(std::string_view utf8, std::size_t count);

// Full case folding without locale.
std::string foldingCase(std::string_view utf8);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// Negative, zero or positive, comparing the case-folded texts by code point.
int compareIgnoringCase(std::string_view a, std::string_view b);
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

} // namespace corvane
