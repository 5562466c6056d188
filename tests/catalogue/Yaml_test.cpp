#include "brimvale/catalogue/Yaml.h"

#include <gtest/gtest.h>

namespace corvane {

void PrintTo(const YAMLNode &node, std::ostream *out) {
  switch (node.which()) {
  case YAMLNode::Case::scalar: *out << '"' << node.text() << '"'; break;
  case YAMLNode::Case::list:
    *out << '[';
    for (const auto &item : node.items()) {
      PrintTo(item, out);
      *out << ", ";
    }
    *out << ']';
    break;
  case YAMLNode::Case::map:
    *out << '{';
    for (const auto &[key, value] : node.pairs()) {
      *out << key << ": ";
      PrintTo(value, out);
      *out << ", ";
    }
    *out << '}';
    break;
  }
}

namespace {

std::optional<YAMLNode> read(std::string_view text) {
  return MiniYAML::parse(MiniYAML::lines(text));
}

YAMLNode S(std::string text) {
  return YAMLNode::scalar(std::move(text));
}
YAMLNode L(std::vector<YAMLNode> items) {
  return YAMLNode::list(std::move(items));
}
YAMLNode M(std::vector<YAMLNode::Pair> pairs) {
  return YAMLNode::map(std::move(pairs));
}

const YAMLNode &at(const YAMLNode &node, std::string_view key) {
  const YAMLNode *value = MiniYAML::lookup(key, node);
  if (!value)
    throw std::runtime_error("missing key " + std::string(key));
  return *value;
}

TEST(MiniYAMLTest, NothingSignificantGivesNoDocument) {
  EXPECT_FALSE(read(""));
  EXPECT_FALSE(read("# only a comment\n---\n...\n%YAML 1.2\n   \n\r\n"));
}

TEST(MiniYAMLTest, CommentsAndQuotes) {
  auto doc = read("image: nginx # web\nurl: a#b\nx: '#1'\ny: \"it's # here\"\nz: don't # x\n");
  ASSERT_TRUE(doc);
  EXPECT_EQ(*doc, M({{"image", S("nginx")},
                     {"url", S("a#b")},
                     {"x", S("#1")},
                     {"y", S("it's # here")},
                     {"z", S("don't")}}));
}

TEST(MiniYAMLTest, ScalarUnquoting) {
  auto doc = read(R"(a: "x\ty\"z\\" tail
b: 'it''s' rest
c: "open
d: 'a: b': c
)");
  ASSERT_TRUE(doc);
  EXPECT_EQ(at(*doc, "a"), S("x\ty\"z\\"));
  EXPECT_EQ(at(*doc, "b"), S("it's"));
  EXPECT_EQ(at(*doc, "c"), S("open"));
  EXPECT_EQ(at(*doc, "d"), S("a: b")); // text after the closing quote is dropped
  auto quotedKey = read("'a: b': c\n");
  ASSERT_TRUE(quotedKey);
  EXPECT_EQ(*quotedKey, M({{"a: b", S("c")}}));
}

TEST(MiniYAMLTest, FlowCollections) {
  auto doc = read("ports: [8080:80, 443]\nquoted: [\"8080:80\", 443]\n"
                  "env: {A: 1, B: 'x y', C}\nnested: [a, [b, c], ]\n");
  ASSERT_TRUE(doc);
  EXPECT_EQ(at(*doc, "ports"), L({S("8080:80"), S("443")}));
  EXPECT_EQ(at(*doc, "quoted"), L({S("8080:80"), S("443")}));
  EXPECT_EQ(at(*doc, "env"), M({{"A", S("1")}, {"B", S("x y")}, {"C", S("")}}));
  EXPECT_EQ(at(*doc, "nested"), L({S("a"), L({S("b"), S("c")})}));

  auto spread = read("ports: [80,\n    443]\nnext: 1\n");
  ASSERT_TRUE(spread);
  EXPECT_EQ(*spread, M({{"ports", L({S("80"), S("443")})}, {"next", S("1")}}));
}

TEST(MiniYAMLTest, BlockListsAndMaps) {
  auto doc = read(R"(services:
  web:
    ports:
    - 80
    - target: 80
      published: 8080
    - - x
    -
      deep: 1
  db:
    image: &img postgres
key: last
key: duplicate
)");
  ASSERT_TRUE(doc);
  const auto &web = at(at(*doc, "services"), "web");
  EXPECT_EQ(at(web, "ports"), L({S("80"), M({{"target", S("80")}, {"published", S("8080")}}),
                                 L({S("x")}), M({{"deep", S("1")}})}));
  EXPECT_EQ(at(at(at(*doc, "services"), "db"), "image"), S("postgres"));
  EXPECT_EQ(at(*doc, "key"), S("last"));
  EXPECT_EQ(doc->pairs().size(), 3u);
}

TEST(MiniYAMLTest, AnchorsAliasesAndMergeKeysStayVisible) {
  auto doc =
      read("web: &base\n  image: x\napi: *base\nother:\n  <<: *base\n  !!str tagged: !t v\n");
  ASSERT_TRUE(doc);
  EXPECT_EQ(at(*doc, "web"), M({{"image", S("x")}}));
  EXPECT_EQ(at(*doc, "api"), S("*base"));
  EXPECT_EQ(at(at(*doc, "other"), "<<"), S("*base"));
}

TEST(MiniYAMLTest, BlockScalars) {
  auto doc = read("note: |\n  one\n    two\nfold: >-\n  a\n  b\nafter: x\n");
  ASSERT_TRUE(doc);
  EXPECT_EQ(at(*doc, "note"), S("one\ntwo"));
  EXPECT_EQ(at(*doc, "fold"), S("a b"));
  EXPECT_EQ(at(*doc, "after"), S("x"));
}

TEST(MiniYAMLTest, LineEndsMarksAndOddLines) {
  auto crlf = read("\xEF\xBB\xBF"
                   "a: 1\r\nb:\r\n  - 2\r\n");
  auto lf = read("a: 1\nb:\n  - 2\n");
  ASSERT_TRUE(crlf);
  EXPECT_EQ(*crlf, *lf);
  auto text = read("hello\nmore: 1\n");
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, S("hello"));
  // Lines deeper than any open block, and lines without a key, are dropped.
  auto odd = read("a: 1\n      stray\nnot a pair\nb: 2\n");
  ASSERT_TRUE(odd);
  EXPECT_EQ(*odd, M({{"a", S("1")}, {"b", S("2")}}));
  auto invalid = read("a: \xFF\xFE\n");
  ASSERT_TRUE(invalid);
  EXPECT_EQ(at(*invalid, "a"), S("\xEF\xBF\xBD\xEF\xBF\xBD"));
}

TEST(MiniYAMLTest, DeepNestingIsCut) {
  std::string blocks;
  for (int i = 0; i < 200; ++i)
    blocks += std::string(static_cast<std::size_t>(i), ' ') + "k:\n";
  blocks += std::string(200, ' ') + "leaf: v\n";
  auto doc = read(blocks);
  ASSERT_TRUE(doc);
  const YAMLNode *node = &*doc;
  int levels = 0;
  while (node->isMap()) {
    node = &at(*node, node->pairs().front().first);
    ++levels;
  }
  EXPECT_EQ(*node, S(""));
  EXPECT_LE(levels, MiniYAML::maxDepth + 2);

  auto flow = read("x: " + std::string(100000, '[') + std::string(100000, ']') + "\n");
  ASSERT_TRUE(flow);
  auto dashes = read(std::string(20000, '-').insert(0, "") + "\n");
  ASSERT_TRUE(dashes);
  std::string items;
  for (int i = 0; i < 5000; ++i)
    items += "- ";
  ASSERT_TRUE(read(items + "x\n"));
}

TEST(MiniYAMLTest, LargeInputStaysLinear) {
  std::string big;
  while (big.size() < 900000)
    big += "- \"" + std::string(50, 'x') + "\"\n  - [a, {b: c}]\n";
  auto doc = read(big);
  ASSERT_TRUE(doc);
  EXPECT_TRUE(doc->isList());
  auto oneLine = read("k: " + std::string(999000, 'a'));
  ASSERT_TRUE(oneLine);
  EXPECT_EQ(at(*oneLine, "k").text().size(), 999000u);
}

} // namespace
} // namespace corvane
