#include "brimvale/foundation/DisplayText.h"
#include "brimvale/platform/Unicode.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

std::string repeated(std::string_view unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += unit;
  return text;
}

TEST(DisplayText, DropsInvisibleAndLayoutBreakingScalars) {
  EXPECT_EQ(cleanDisplayText("", 40), "");
  EXPECT_EQ(cleanDisplayText(" \t\x01\u200B\u200E\uFEFF\n ", 40), "");
  EXPECT_EQ(cleanDisplayText("left\u2028right\u2029end", 40), "leftrightend");
  EXPECT_EQ(cleanDisplayText("a\uE000b\U000F0000c", 40), "abc");
  EXPECT_EQ(cleanDisplayText("a\U000E0080b\u0378c", 40), "abc"); // unassigned code points
  EXPECT_EQ(cleanDisplayText("tab\there\nnew line", 40), "tabherenew line");
  EXPECT_EQ(cleanDisplayText("a\u202Eevil", 40), "aevil"); // bidi override
  // Ill-formed UTF-8 shows as replacement characters rather than vanishing or passing through.
  EXPECT_EQ(cleanDisplayText("a\xFF\xC0z", 40), "a\uFFFD\uFFFDz");
}

TEST(DisplayText, CapsRunsOfCombiningMarks) {
  // Appended rather than "e" + …: GCC 12 misreads that insert as overlapping at -O3.
  EXPECT_EQ(cleanDisplayText(std::string("e").append(repeated("\u0301", 5)), 40),
            "e\u0301\u0301\u0301");
  // A dropped joiner does not end a run; a letter does.
  EXPECT_EQ(cleanDisplayText("e\u0301\u0301\u200D\u0301\u0301", 40), "e\u0301\u0301\u0301");
  EXPECT_EQ(cleanDisplayText("e\u0301\u0301x\u0301\u0301", 40), "e\u0301\u0301x\u0301\u0301");
  // Spacing and enclosing marks count too.
  EXPECT_EQ(cleanDisplayText("a\u0903\u20DD\u0301\u0301", 40), "a\u0903\u20DD\u0301");
}

TEST(DisplayText, TrimsThenCutsAtWholeCharacters) {
  const std::string letters = repeated("x", 45);
  EXPECT_EQ(cleanDisplayText(letters, 40), repeated("x", 40));
  EXPECT_EQ(cleanDisplayText(letters, 41), repeated("x", 41));
  EXPECT_EQ(cleanDisplayText("\u3000 name \u00A0", 40), "name");
  // The cut is not trimmed again.
  EXPECT_EQ(cleanDisplayText("abc def", 4), "abc ");

  // A skin-toned emoji is one character and stays whole at the limit.
  const std::string thumbs = "\U0001F44D\U0001F3FD";
  EXPECT_EQ(cleanDisplayText("ab" + thumbs + "cd", 3), "ab" + thumbs);
  // Joiners are format characters: a joined family falls apart into its members.
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(cleanDisplayText(family, 40), "\U0001F468\U0001F469\U0001F467");
  EXPECT_EQ(cleanDisplayText(family, 2), "\U0001F468\U0001F469");
  // Flags are two scalars and one character.
  EXPECT_EQ(cleanDisplayText("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 1),
            "\U0001F1E9\U0001F1EA");
}

TEST(DisplayText, ScalarBudgetEndsTheCopy) {
  // Conjoining jamo (3 scalars) with three marks: 6 scalars per character, budget 4 per char.
  const std::string heavy = "\u1100\u1161\u11A8\u0301\u0301\u0301";
  const std::string text = repeated(heavy, 10);
  const std::string cleaned = cleanDisplayText(text, 10);
  EXPECT_EQ(cleaned, repeated(heavy, 6)); // 36 of 40 scalars; the seventh would need 42
  EXPECT_LE(unicodeScalars(cleaned).size(), 40u);
  // Once one character does not fit, lighter ones after it are not taken either.
  EXPECT_EQ(cleanDisplayText(repeated(heavy, 6) + "ab" + heavy + "c", 10),
            repeated(heavy, 6) + "ab");
  EXPECT_EQ(cleanDisplayText(heavy + "a", 1), "");
}

} // namespace
} // namespace corvane
