#include "brimvale/catalogue/ComposeImport.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using namespace ComposeImport;
using Category = ExposedService::ServiceCategory;

std::string shortPort(std::string_view value, std::string_view name = "web") {
  const auto outcome = parseShortPort(value, name);
  return outcome.which() == Outcome::Case::port ? std::to_string(outcome.portNumber())
                                                : outcome.sentence();
}

TEST(ComposeImportTest, RealisticComposeFile) {
  const auto result = importCompose(R"(name: shop
x-common: &common
  restart: unless-stopped
services:
  web:
    image: nginx
    ports: ["8080:80", "8443:443", "8080:8080"]
  cache:
    image: redis:7
    ports:
      - 6380:6379
  app:
    image: acme/app
    ports:
      - target: 3000
        published: "${APP_PORT:-3001}"
        host_ip: 127.0.0.1
        protocol: tcp
  api:
    <<: *common
    ports:
      - "8080:80"
      - 127.0.0.1:9000:9000
      - "[::1]:9001:9001"
  dns:
    image: coredns
    ports:
      - 53:53/udp
  rabbitmq:
    ports: [5672:5672, 15672:15672]
  worker:
    image: acme/worker
)",
                                    "compose.yaml");
  EXPECT_EQ(result.project, "shop");
  EXPECT_EQ(result.found, (std::vector<Found>{
                              {"web", 8080, Category::web},
                              {"web 8443", 8443, Category::web},
                              {"cache", 6380, Category::database},
                              {"app", 3001, Category::custom},
                              {"api", 9000, Category::api},
                              {"api 9001", 9001, Category::api},
                              {"rabbitmq", 5672, Category::messaging},
                              {"rabbitmq 15672", 15672, Category::web},
                          }));
  EXPECT_EQ(result.skipped, (std::vector<std::string>{
                                "api: 8080 is already web's",
                                "dns: 53:53/udp is UDP; Corvane shares TCP ports",
                            }));
}

TEST(ComposeImportTest, ShortSyntaxSentences) {
  EXPECT_EQ(shortPort("80", "db"), "db: 80 is only open inside the container");
  EXPECT_EQ(shortPort(":80", "db"), "db: :80 gets a different port each time it starts");
  EXPECT_EQ(shortPort("8000-8002:8000-8002", "api"),
            "api: port ranges like 8000-8002 aren't supported; list the ports you need");
  EXPECT_EQ(shortPort("3000-3005"),
            "web: port ranges like 3000-3005 aren't supported; list the ports you need");
  EXPECT_EQ(shortPort("${WEB_PORT:-3000}:3000"), "3000");
  EXPECT_EQ(shortPort("${WEB_PORT-3000}:3000"), "3000");
  for (const char *unset : {"${WEB_PORT}:3000", "$WEB_PORT:3000", "${WEB_PORT:?unset}:3000"})
    EXPECT_EQ(shortPort(unset),
              std::string("web: ") + unset + " depends on a variable with no default");
  EXPECT_EQ(shortPort("$$80:80"), "web: $80 isn't a port number");
  EXPECT_EQ(shortPort("192.168.1.5:8080:80"),
            "web: 8080 listens on 192.168.1.5 only, not on this Mac's localhost");
  for (const char *local : {"127.0.0.1:8080:80", "0.0.0.0:8080:80", ":::8080:80", "::1:8080:80",
                            "[::1]:8080:80", "[::]:8080:80/TCP"})
    EXPECT_EQ(shortPort(local), "8080") << local;
  EXPECT_EQ(shortPort("[::1]:8080"), "web: couldn't read [::1]:8080");
  EXPECT_EQ(shortPort("70000:80"), "web: 70000 isn't a port number");
  EXPECT_EQ(shortPort("abc:80"), "web: abc isn't a port number");
  EXPECT_EQ(shortPort("0:80"), "web: 0 isn't a port number");
  EXPECT_EQ(shortPort("99999999999999999999:80"), "web: 99999999999999999999 isn't a port number");
  EXPECT_EQ(shortPort("+8080:80"), "8080");
  EXPECT_EQ(shortPort("8080:80/sctp"), "web: 8080:80/sctp is SCTP; Corvane shares TCP ports");
}

TEST(ComposeImportTest, VariableResolution) {
  EXPECT_EQ(resolveVariables("plain"), "plain");
  EXPECT_EQ(resolveVariables("${A:-${B:-7}}0"), "70");
  EXPECT_EQ(resolveVariables("${A:-}"), "");
  EXPECT_FALSE(resolveVariables("${A:-x"));
  EXPECT_FALSE(resolveVariables("end$"));
  std::string deep = "1";
  for (int i = 0; i < 8; ++i)
    deep = "${V:-" + deep + "}";
  EXPECT_FALSE(resolveVariables(deep));
  deep = deep.substr(5, deep.size() - 6); // seven levels of defaults
  EXPECT_EQ(resolveVariables(deep), "1");
}

TEST(ComposeImportTest, LongSyntaxAliasesAndMergeKeys) {
  const auto result = importCompose(R"(x-base:
  ports: ["1:1"]
services:
  a:
    ports:
      - target: 80
  b:
    ports:
      - published: 53
        protocol: UDP
  c:
    ports: *common
  d:
    <<: *base
  e:
    ports:
      - [1, 2]
      - published: 8081
        host_ip: 10.0.0.2
  f:
    ports:
      target: 90
      published: 9090
)",
                                    "docker-compose.yml");
  EXPECT_EQ(result.found, (std::vector<Found>{{"f", 9090, Category::custom}}));
  EXPECT_EQ(result.skipped, (std::vector<std::string>{
                                "a: 80 is only open inside the container",
                                "b: 53 is UDP; Corvane shares TCP ports",
                                "c: uses a YAML alias (*common); list its ports directly",
                                "d: uses a YAML merge key; list its ports directly",
                                "e: couldn't read one of its ports",
                                "e: 8081 listens on 10.0.0.2 only, not on this Mac's localhost",
                            }));
  // Without an extension block holding ports, a merge key says nothing.
  EXPECT_TRUE(importCompose("services:\n  d:\n    <<: *base\n", "compose.yaml").skipped.empty());
}

TEST(ComposeImportTest, OwnServiceFile) {
  const std::string text = "services:\n  web: 3000\n  api:\n    port: ${API:-4000}\n"
                           "  bad:\n    port: $NOPE\n";
  const auto own = importCompose(text, "Corvane.YML");
  EXPECT_EQ(own.found,
            (std::vector<Found>{{"web", 3000, Category::web}, {"api", 4000, Category::api}}));
  EXPECT_EQ(own.skipped,
            (std::vector<std::string>{"bad: $NOPE depends on a variable with no default"}));
  const auto compose = importCompose(text, "compose.yaml");
  EXPECT_TRUE(compose.found.empty());
  EXPECT_TRUE(compose.skipped.empty());
}

TEST(ComposeImportTest, UnreadableOrOddDocuments) {
  EXPECT_EQ(importCompose("", "compose.yaml"), Result{});
  EXPECT_EQ(importCompose("just text", "compose.yaml"), Result{});
  EXPECT_EQ(importCompose("name: '   '\nservices: [a]\n", "compose.yaml"), Result{});
  EXPECT_EQ(importCompose("- services\n", "compose.yaml"), Result{});
  const auto odd = importCompose("services:\n  '  ':\n    ports: [1:1]\n  l:\n    - 80:80\n"
                                 "  s: scalar\n",
                                 "compose.yaml");
  EXPECT_EQ(odd, Result{});
}

TEST(ComposeImportTest, FileSizeLimit) {
  std::string text = "services:\n  web:\n    ports: [\"8080:80\"]\n#";
  text.resize(maxFileBytes, 'x');
  EXPECT_EQ(importCompose(text, "compose.yaml").found.size(), 1u);
  text += 'x';
  EXPECT_EQ(importCompose(text, "compose.yaml"), Result{});
}

TEST(ComposeImportTest, LongNamesAndManyPortsStayBounded) {
  const std::string longName(300000, 'n');
  std::string text = "services:\n  " + longName + ":\n    ports:\n";
  for (int port = 1; port <= 40000; ++port)
    text += "    - " + std::to_string(port) + ":1\n";
  ASSERT_LT(text.size(), maxFileBytes);
  const auto result = importCompose(text, "compose.yaml");
  ASSERT_EQ(result.found.size(), 40000u);
  EXPECT_EQ(result.found[0].name, std::string(maxServiceNameCharacters, 'n'));
  EXPECT_EQ(result.found[1].name, std::string(maxServiceNameCharacters, 'n') + " 2");

  // A declaration as long as the file is quoted only in part.
  const std::string huge(maxFileBytes - 100, '7');
  for (const auto &declaration : {"\"" + huge + "\"", "\"" + huge + ":80/udp\"",
                                  "\"127.0.0.1:" + huge + ":80\"", "\"" + huge + "\u00e9:1:2\""}) {
    const auto skipped =
        importCompose("services:\n  web:\n    ports: [" + declaration + "]\n", "compose.yaml")
            .skipped;
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_LT(skipped[0].size(), 200u) << skipped[0].substr(0, 200);
    EXPECT_NE(skipped[0].find("7\u2026"), std::string::npos) << skipped[0].substr(0, 200);
  }
}

} // namespace
} // namespace corvane
