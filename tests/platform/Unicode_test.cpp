#include "brimvale/platform/Unicode.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(UnicodeScalars, DecodeAndReplaceIllFormedInput) {
  EXPECT_EQ(unicodeScalars("a\u00E9\U0001F600"), (std::vector<char32_t>{'a', 0xE9, 0x1F600}));
  // Truncated sequence, lone continuation byte, overlong form, encoded surrogate.
  EXPECT_EQ(unicodeScalars("\xE2\x82"), (std::vector<char32_t>{0xFFFD}));
  EXPECT_EQ(unicodeScalars("\x80z"), (std::vector<char32_t>{0xFFFD, 'z'}));
  EXPECT_EQ(unicodeScalars("\xC0\xAF").front(), 0xFFFDu);
  EXPECT_EQ(unicodeScalars("\xED\xA0\x80").front(), 0xFFFDu);
  EXPECT_EQ(validUTF8("ok\xFF"), "ok\uFFFD");
  std::string out;
  appendUTF8(out, 0xD800);
  appendUTF8(out, 0x110000);
  EXPECT_EQ(out, "\uFFFD\uFFFD");
}

TEST(UnicodeCategories, ComeFromTheLibrary) {
  EXPECT_EQ(generalCategory('A'), GeneralCategory::uppercaseLetter);
  EXPECT_EQ(generalCategory(0x200B), GeneralCategory::format);
  EXPECT_EQ(generalCategory(0x2028), GeneralCategory::lineSeparator);
  EXPECT_EQ(generalCategory(0xE000), GeneralCategory::privateUse);
  EXPECT_EQ(generalCategory(0x0378), GeneralCategory::unassigned);
  EXPECT_EQ(generalCategory(0x1F3FD), GeneralCategory::modifierSymbol);
  EXPECT_TRUE(isCombiningMark(0x0301));
  EXPECT_TRUE(isCombiningMark(0x20DD));
  EXPECT_FALSE(isCombiningMark('a'));
  EXPECT_TRUE(isControlCharacter(0x7F));
  EXPECT_TRUE(isControlCharacter(0xFEFF));
  EXPECT_FALSE(isControlCharacter(' '));
}

TEST(UnicodeText, TrimsAndCountsCharacters) {
  EXPECT_EQ(trimmingWhitespaceAndNewlines("\u2028\u00A0 \t a b \r\n\u0085\u3000"), "a b");
  EXPECT_EQ(trimmingWhitespaceAndNewlines(" \n "), "");
  EXPECT_EQ(removingControlCharacters("a\x1B[0m\u200Db"), "a[0mb");
  EXPECT_EQ(characterCount("e\u0301\U0001F1E9\U0001F1EA\r\n"), 3u);
  EXPECT_EQ(characterCount("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1u);
  EXPECT_EQ(characterCount(""), 0u);
  EXPECT_EQ(characterPrefix("e\u0301xyz", 2), "e\u0301x");
  EXPECT_EQ(characterPrefix("ab", 5), "ab");
  EXPECT_EQ(graphemeClusters("a\r\nb"), (std::vector<std::string>{"a", "\r\n", "b"}));
}

TEST(UnicodeCase, FoldsFullyWithoutLocale) {
  EXPECT_TRUE(equalsIgnoringCase("Straße", "STRASSE"));
  EXPECT_TRUE(equalsIgnoringCase("İstanbul", "i\u0307stanbul"));
  EXPECT_TRUE(equalsIgnoringCase("ΣΊΣΥΦΟΣ", "σίσυφος"));
  EXPECT_FALSE(equalsIgnoringCase("Postgres", "Postgre"));
  EXPECT_LT(compareIgnoringCase("apple", "Banana"), 0);
  EXPECT_GT(compareIgnoringCase("b", "A"), 0);
  EXPECT_EQ(compareIgnoringCase("REDIS", "redis"), 0);
  EXPECT_TRUE(containsIgnoringCase("PostgreSQL", "gresql"));
  EXPECT_TRUE(containsIgnoringCase("Maße", "SS"));
  EXPECT_TRUE(containsIgnoringCase("anything", ""));
  EXPECT_FALSE(containsIgnoringCase("Redis", "mongo"));
}

} // namespace
} // namespace corvane
