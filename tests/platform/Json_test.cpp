#include "brimvale/platform/Json.h"

#include <gtest/gtest.h>
#include <limits>

namespace corvane {
namespace {

Json object(std::string_view text) {
  return parseJson(text).value();
}

// A readable field that holds nothing (as opposed to a field of the wrong type).
const std::optional<std::optional<std::string>> absentText{std::optional<std::string>{}};

TEST(JsonParse, NeverThrows) {
  EXPECT_FALSE(parseJson(std::string_view("{")));
  EXPECT_FALSE(parseJson(bytesOf("")));
  EXPECT_FALSE(parseJson(bytesOf("{} trailing")));
  EXPECT_FALSE(parseJson(Bytes{0xFF, 0xFE}));
  EXPECT_EQ(parseJson(bytesOf(R"({"a":1})")), object(R"({"a":1})"));
  // Deep nesting is refused or parsed, never a crash.
  (void)parseJson(std::string(100000, '['));
}

TEST(JsonDump, ReplacesIllFormedUtf8AndRefusesNonFiniteNumbers) {
  Json value = {{"name", std::string("a\xFF"
                                     "b")}};
  EXPECT_EQ(dumpJson(value), "{\"name\":\"a\uFFFDb\"}");
  EXPECT_EQ(dumpJsonChecked(Json{{"d", 1.5}}), R"({"d":1.5})");
  EXPECT_EQ(dumpJsonChecked(Json{{"d", {std::numeric_limits<double>::quiet_NaN()}}}), std::nullopt);
}

TEST(JsonFields, RequiredFieldsAreStrict) {
  const Json doc = object(R"({"i":7,"f":7.0,"half":7.5,"big":3000000000,"s":"7","b":true,
                             "n":null,"neg":-3,"huge":1e300,"list":[1,2],"map":{"a":"x"}})");
  EXPECT_EQ(requiredField<int>(doc, "i"), 7);
  EXPECT_EQ(requiredField<int>(doc, "f"), 7);
  EXPECT_EQ(requiredField<int>(doc, "neg"), -3);
  EXPECT_FALSE(requiredField<int>(doc, "half"));
  EXPECT_FALSE(requiredField<int>(doc, "big"));
  EXPECT_EQ(requiredField<std::int64_t>(doc, "big"), 3000000000);
  EXPECT_FALSE(requiredField<std::int64_t>(doc, "huge"));
  EXPECT_FALSE(requiredField<int>(doc, "s"));
  EXPECT_FALSE(requiredField<int>(doc, "b"));
  EXPECT_FALSE(requiredField<bool>(doc, "i"));
  EXPECT_FALSE(requiredField<std::string>(doc, "i"));
  EXPECT_FALSE(requiredField<int>(doc, "n"));
  EXPECT_FALSE(requiredField<int>(doc, "missing"));
  EXPECT_EQ(requiredField<double>(doc, "i"), 7.0);
  EXPECT_FALSE(requiredField<double>(doc, "s"));
  EXPECT_EQ(requiredField<std::vector<int>>(doc, "list"), (std::vector<int>{1, 2}));
  EXPECT_FALSE(requiredField<std::vector<std::string>>(doc, "list"));
  EXPECT_EQ((requiredField<std::map<std::string, std::string>>(doc, "map")),
            (std::map<std::string, std::string>{{"a", "x"}}));
  EXPECT_FALSE((requiredField<std::map<std::string, int>>(doc, "map")));
  EXPECT_FALSE(requiredField<int>(Json::array(), "i"));
  EXPECT_FALSE(requiredField<std::int64_t>(object(R"({"u":18446744073709551615})"), "u"));
}

TEST(JsonFields, OptionalFieldsTellAbsentFromWrong) {
  const Json doc = object(R"({"s":"x","n":null,"i":1})");
  EXPECT_EQ(optionalField<std::string>(doc, "s"), std::optional<std::string>("x"));
  EXPECT_EQ(optionalField<std::string>(doc, "n"), absentText);
  EXPECT_EQ(optionalField<std::string>(doc, "missing"), absentText);
  EXPECT_EQ(optionalField<std::string>(doc, "i"), std::nullopt);

  Json out = Json::object();
  putOptional(out, "a", std::optional<int>());
  putOptional(out, "b", std::optional<int>(2));
  EXPECT_EQ(out, object(R"({"b":2})"));
}

TEST(JsonUUID, GeneratedAndParsedInCanonicalUpperCase) {
  const std::string id = makeUUID();
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '4');
  EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos);
  EXPECT_EQ(parseUUID(id), id);
  EXPECT_NE(makeUUID(), id);
  EXPECT_EQ(parseUUID("6f9619ff-8b86-d011-b42d-00c04fc964ff"),
            "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_FALSE(parseUUID("6F9619FF8B86D011B42D00C04FC964FF"));
  EXPECT_FALSE(parseUUID("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"));
  EXPECT_FALSE(parseUUID("6F9619FF-8B86-D011-B42D-00C04FC964FG"));
  EXPECT_FALSE(parseUUID("6F9619FF-8B86-D011-B42D+00C04FC964FF"));
  EXPECT_FALSE(parseUUID(""));

  const Json doc = object(R"({"id":"6f9619ff-8b86-d011-b42d-00c04fc964ff","bad":"x","n":null})");
  EXPECT_EQ(requiredUUIDField(doc, "id"), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_FALSE(requiredUUIDField(doc, "bad"));
  EXPECT_EQ(optionalUUIDField(doc, "n"), absentText);
  EXPECT_EQ(optionalUUIDField(doc, "bad"), std::nullopt);
}

TEST(JsonBase64, StrictDecoding) {
  EXPECT_EQ(encodeBase64(bytesOf("hello")), "aGVsbG8=");
  EXPECT_EQ(encodeBase64({}), "");
  EXPECT_EQ(decodeBase64("aGVsbG8="), bytesOf("hello"));
  EXPECT_EQ(decodeBase64("aGVsbA=="), bytesOf("hell"));
  EXPECT_EQ(decodeBase64("aGVs"), bytesOf("hel"));
  EXPECT_EQ(decodeBase64(""), Bytes{});
  EXPECT_FALSE(decodeBase64("aGVsbG8"));    // unpadded
  EXPECT_FALSE(decodeBase64("aGVs bG8="));  // white space
  EXPECT_FALSE(decodeBase64("aGVsbG8=\n")); // trailing newline
  EXPECT_FALSE(decodeBase64("aG=sbG8="));   // padding inside
  EXPECT_FALSE(decodeBase64("aGVsbG9="));   // non-zero trailing bits
  EXPECT_FALSE(decodeBase64("aGVs-G8="));   // URL alphabet
  EXPECT_FALSE(decodeBase64("===="));
  const Bytes all = [] {
    Bytes bytes;
    for (int i = 0; i < 256; ++i)
      bytes.push_back(static_cast<std::uint8_t>(i));
    return bytes;
  }();
  EXPECT_EQ(decodeBase64(encodeBase64(all)), all);
}

} // namespace
} // namespace corvane
