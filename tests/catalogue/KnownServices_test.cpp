#include "brimvale/catalogue/KnownServices.h"

#include <gtest/gtest.h>
#include <set>

namespace corvane {
namespace {

std::string matched(std::string_view name) {
  auto row = KnownService::matchByName(name);
  return row ? row->name : "<none>";
}

std::vector<std::string> names(const std::vector<KnownService> &rows) {
  std::vector<std::string> out;
  for (const auto &row : rows)
    out.push_back(row.name);
  return out;
}

TEST(KnownServiceTest, TablesHoldUniqueWellFormedRows) {
  EXPECT_EQ(KnownService::catalogue().size(), 31u);
  EXPECT_EQ(KnownService::adminTools().size(), 8u);
  std::set<std::string> seen;
  for (const auto *table : {&KnownService::catalogue(), &KnownService::adminTools()})
    for (const auto &row : *table) {
      EXPECT_TRUE(seen.insert(row.name).second) << row.name;
      EXPECT_GE(row.tag.size(), 2u);
      EXPECT_LE(row.tag.size(), 4u);
      EXPECT_FALSE(row.keywords.empty());
    }
  const auto &etcd = KnownService::catalogue()[11];
  EXPECT_EQ(etcd.name, "etcd");
  EXPECT_EQ(etcd.probe, ServiceVersion::Kind::json("/version", "etcdserver", "etcd"));
  EXPECT_EQ(KnownService::catalogue()[5].probe, ServiceVersion::Kind::postgres());
  EXPECT_FALSE(KnownService::catalogue()[6].probe);
  EXPECT_TRUE(KnownService::catalogue()[18].caveat->starts_with("Kafka sends clients"));
}

TEST(KnownServiceTest, ProbeKindEquality) {
  using ServiceVersion::Kind;
  EXPECT_EQ(Kind::json("/version", "etcdserver", "etcd"),
            Kind::json("/version", "etcdserver", "etcd"));
  EXPECT_NE(Kind::json("/version", "etcdserver", "etcd"),
            Kind::json("/version", "etcdserver", "ETCD"));
  EXPECT_EQ(Kind::redis(), Kind::redis());
  EXPECT_NE(Kind::redis(), Kind::nats());
  EXPECT_NE(Kind::http(), Kind::json("", "", ""));
}

TEST(KnownServiceTest, SplitWordsKeepsLettersAndDigitsTogether) {
  EXPECT_EQ(KnownService::splitWords("my-pg_db 2"),
            (std::vector<std::string>{"my", "pg", "db", "2"}));
  EXPECT_EQ(KnownService::splitWords("postgres16"), (std::vector<std::string>{"postgres16"}));
  EXPECT_EQ(KnownService::splitWords("café—db"), (std::vector<std::string>{"café", "db"}));
  EXPECT_TRUE(KnownService::splitWords("---").empty());
}

TEST(KnownServiceTest, MatchByNameTriesToolsFirstAndKeywordsAsPrefixes) {
  EXPECT_EQ(matched(""), "<none>");
  EXPECT_EQ(matched("---"), "<none>");
  EXPECT_EQ(matched("sqlserver-2022"), "SQL Server");
  EXPECT_EQ(matched("SQL Server"), "SQL Server");
  EXPECT_EQ(matched("kafka-ui"), "Kafka UI");
  EXPECT_EQ(matched("kafkaui"), "Kafka");
  EXPECT_EQ(matched("pg"), "PostgreSQL");
  EXPECT_EQ(matched("pgbouncer"), "PostgreSQL");
  EXPECT_EQ(matched("pgadmin4"), "pgAdmin");
  EXPECT_EQ(matched("Redis Commander"), "Redis Commander");
  EXPECT_EQ(matched("redis-commander"), "Redis Commander");
  EXPECT_EQ(matched("mongo_express"), "Mongo Express");
  EXPECT_EQ(matched("MONGO"), "MongoDB");
  EXPECT_EQ(matched("my-app"), "<none>");
}

TEST(KnownServiceTest, FindAndLookupUsePortOnlyAsFallback) {
  EXPECT_EQ(KnownService::findByName("rabbitmq", 15672)->name, "RabbitMQ management");
  EXPECT_EQ(KnownService::findByName("rabbitmq", 5672)->name, "RabbitMQ");
  EXPECT_FALSE(KnownService::findByName("my-app", 5432));
  EXPECT_EQ(KnownService::lookup("my-app", 8080)->name, "API server");
  EXPECT_EQ(KnownService::lookup("my-app", 5432)->name, "PostgreSQL");
  EXPECT_EQ(KnownService::lookup("redis", 5432)->name, "Redis");
  EXPECT_FALSE(KnownService::lookup("my-app", 5050));
  EXPECT_FALSE(KnownService::lookup("my-app", 15672));
}

TEST(KnownServiceTest, TypedTextSearch) {
  EXPECT_EQ(names(KnownService::matchTypedText("  Post\t")),
            (std::vector<std::string>{"PostgreSQL"}));
  EXPECT_EQ(names(KnownService::matchTypedText("redis-stack")),
            (std::vector<std::string>{"Redis"}));
  EXPECT_EQ(KnownService::matchTypedText("").size(), 31u);
  EXPECT_EQ(KnownService::matchTypedText(" \t ").size(), 31u);
  EXPECT_TRUE(KnownService::matchTypedText("adminer").empty());
  // Name substring, keyword prefix and query-starts-with-keyword, in table order.
  EXPECT_EQ(names(KnownService::matchTypedText("SERVER")),
            (std::vector<std::string>{"SQL Server", "Web dev server", "API server"}));
  EXPECT_EQ(names(KnownService::matchTypedText("m")).front(), "MySQL");
  // A line break is not trimmed, so it is part of the query.
  EXPECT_TRUE(KnownService::matchTypedText("redis\n").size() == 1);
}

} // namespace
} // namespace corvane
