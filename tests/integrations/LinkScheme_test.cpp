#include "brimvale/integrations/LinkScheme.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using Kind = LinkRequest::Kind;

TEST(LinkScheme, TheFiveForms) {
  EXPECT_EQ(parseLink("corvane://show"), (LinkRequest{Kind::showPanel, ""}));
  EXPECT_EQ(parseLink("corvane:"), (LinkRequest{Kind::showPanel, ""}));
  EXPECT_EQ(parseLink("corvane://"), (LinkRequest{Kind::showPanel, ""}));
  EXPECT_EQ(parseLink("corvane://SHOW?from=menu#top"), (LinkRequest{Kind::showPanel, ""}));
  EXPECT_EQ(parseLink("corvane://pause-all"), (LinkRequest{Kind::pauseAll, ""}));
  EXPECT_EQ(parseLink("CORVANE://COPY/Orders%20DB"), (LinkRequest{Kind::copy, "Orders DB"}));
  EXPECT_EQ(parseLink("corvane://open/db@Studio%20Mac"),
            (LinkRequest{Kind::open, "db@Studio Mac"}));
  EXPECT_EQ(parseLink("corvane://copy/%20%09Orders%20%20"), (LinkRequest{Kind::copy, "Orders"}));
  EXPECT_EQ(parseLink("corvane://copy/Caf%C3%A9%F0%9F%90%98"),
            (LinkRequest{Kind::copy, "Caf\u00E9\U0001F418"}));
  EXPECT_EQ(parseLink("corvane://copy/a+b"), (LinkRequest{Kind::copy, "a+b"}));
  EXPECT_EQ(parseLink("corvane://copy/a%2Fb"), (LinkRequest{Kind::copy, "a/b"}));
  for (const char *pause : {"pause", "PAUSE", "Pause"})
    EXPECT_EQ(parseLink(std::string("corvane://environment/Work%20Day/") + pause),
              (LinkRequest{Kind::pauseEnvironment, "Work Day"}));
}

TEST(LinkScheme, RefusesWhatIsNotOneOfTheForms) {
  for (const char *link : {"https://copy/db",
                           "corvan://show",
                           "corvane://show/x",
                           "corvane://pause-all/",
                           "corvane://copy",
                           "corvane://copy/",
                           "corvane://copy/db/",
                           "corvane://copy/a/b",
                           "corvane://copy//db",
                           "corvane://open",
                           "corvane://environment/Work",
                           "corvane://environment/Work/stop",
                           "corvane://environment/Work/pause/",
                           "corvane://unknown",
                           "corvane://%73how",
                           "corvane:///",
                           "corvane:copy/db",
                           "",
                           "corvane",
                           "://show"})
    EXPECT_FALSE(parseLink(link)) << link;
}

TEST(LinkScheme, RefusesPiecesThatDoNotDecodeToCleanText) {
  for (const char *link : {
           "corvane://copy/%E2%82",      // truncated multi-byte sequence
           "corvane://copy/db%E2%82x",   // the same inside a name
           "corvane://copy/%C0%AF",      // overlong
           "corvane://copy/%ED%A0%80",   // surrogate
           "corvane://copy/%FF",         // never UTF-8
           "corvane://copy/%2",          // stray percent
           "corvane://copy/%zz",         // not hex
           "corvane://copy/%20%09",      // only spaces and tabs
           "corvane://copy/db%07",       // control
           "corvane://copy/db%00",       // NUL
           "corvane://copy/d%E2%80%8Bb", // zero-width space (format)
           "corvane://copy/d%E2%80%AEb", // bidirectional override (format)
           "corvane://copy/d%E2%80%A8b", // line separator
           "corvane://copy/d%EE%80%80b", // private use
           "corvane://copy/d%0Ab",       // line feed
           "corvane://copy/a b",         // not a URL: raw space
           "corvane://copy/caf\xC3\xA9", // not a URL: raw non-ASCII
           "corvane://copy:x/db",        // not a URL: port that is not a number
       })
    EXPECT_FALSE(parseLink(link)) << link;
}

TEST(LinkScheme, PiecesAreLimitedByUserPerceivedCharacters) {
  EXPECT_TRUE(parseLink("corvane://copy/" + std::string(129, 'a')));
  EXPECT_FALSE(parseLink("corvane://copy/" + std::string(130, 'a')));
  // 129 characters of two scalars each: counted as characters, not scalars or bytes.
  std::string decomposed;
  for (int i = 0; i < 129; ++i)
    decomposed += "e%CC%81";
  const auto accepted = parseLink("corvane://copy/" + decomposed);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->name.size(), 129u * 3);
  EXPECT_FALSE(parseLink("corvane://copy/" + decomposed + "e"));
  // Spaces around the name do not count.
  EXPECT_TRUE(parseLink("corvane://copy/%20%20" + std::string(129, 'a') + "%20"));
}

} // namespace
} // namespace corvane
