#include "brimvale/catalogue/KnownServices.h"

#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace corvane {

namespace {

using Category = ExposedService::ServiceCategory;
using ServiceVersion::Kind;

std::string lowercased(std::string_view text) {
  auto unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

KnownService row(std::string name, int port, Category category, std::vector<std::string> keywords,
                 std::string tag, std::string pill, std::optional<Kind> probe = std::nullopt,
                 std::optional<std::string> caveat = std::nullopt) {
  return KnownService{std::move(name),  port,
                      category,         std::move(keywords),
                      std::move(tag),   std::move(pill),
                      std::move(probe), std::move(caveat)};
}

std::vector<KnownService> makeCatalogue() {
  using enum ExposedService::ServiceCategory;
  return {
      row("PostgreSQL", 5432, database, {"postgres", "pg", "psql"}, "PG", "pg", Kind::postgres()),
      row("MySQL", 3306, database, {"mysql", "maria"}, "MY", "mysql", Kind::mysql()),
      row("Redis", 6379, database, {"redis", "valkey", "keydb", "dragonfly"}, "RD", "redis",
          Kind::redis()),
      row("MongoDB", 27017, database, {"mongo"}, "MG", "mongo", Kind::mongo(),
          "If this MongoDB is a replica set, other Macs should connect with directConnection=true, "
          "or the driver will go looking for the set's own addresses."),
      row("SQL Server", 1433, database, {"sql server", "sqlserver", "mssql"}, "MS", "mssql",
          Kind::mssql()),
      row("CockroachDB", 26257, database, {"cockroach", "crdb"}, "CR", "crdb", Kind::postgres()),
      row("Cassandra", 9042, database, {"cassandra", "scylla", "cql"}, "CQL", "cql", std::nullopt,
          "Cassandra drivers reconnect to the address the node advertises. Set "
          "broadcast_rpc_address to 127.0.0.1 on this Mac so other Macs stay on Corvane."),
      row("ClickHouse", 8123, database, {"clickhouse"}, "CH", "click"),
      row("Neo4j", 7687, database, {"neo4j", "bolt"}, "N4J", "neo4j"),
      row("InfluxDB", 8086, database, {"influx"}, "IFX", "influx",
          Kind::json("/health", "version", "InfluxDB")),
      row("Memcached", 11211, database, {"memcache"}, "MC", "memc", Kind::memcached()),
      row("etcd", 2379, database, {"etcd"}, "ETC", "etcd",
          Kind::json("/version", "etcdserver", "etcd")),
      row("DynamoDB", 8000, database, {"dynamo"}, "DDB", "dynamo"),
      row("Elasticsearch", 9200, database, {"elastic", "opensearch"}, "ES", "es",
          Kind::json("/", "number", "Elasticsearch")),
      row("Meilisearch", 7700, database, {"meili"}, "MLI", "meili",
          Kind::json("/version", "pkgVersion", "Meilisearch")),
      row("Qdrant", 6333, database, {"qdrant"}, "QD", "qdrant",
          Kind::json("/", "version", "Qdrant")),
      row("Typesense", 8108, database, {"typesense"}, "TS", "types"),
      row("RabbitMQ", 5672, messaging, {"rabbit", "amqp", "lavinmq"}, "RMQ", "rabbit",
          Kind::amqp()),
      row("Kafka", 9092, messaging, {"kafka", "redpanda"}, "KFK", "kafka", std::nullopt,
          "Kafka sends clients to the address the broker advertises. Set advertised.listeners to "
          "localhost:9092 on this Mac, or other Macs will connect once and then lose the broker."),
      row("NATS", 4222, messaging, {"nats"}, "NATS", "nats", Kind::nats()),
      row("MQTT broker", 1883, messaging, {"mqtt", "mosquitto", "emqx"}, "MQT", "mqtt"),
      row("Pulsar", 6650, messaging, {"pulsar"}, "PLS", "pulsar", std::nullopt,
          "Pulsar clients reconnect to the address the broker advertises. Set advertisedAddress "
          "to localhost on this Mac so other Macs stay on Corvane."),
      row("MinIO", 9000, tool, {"minio", "s3"}, "S3", "minio", Kind::http()),
      row("LocalStack", 4566, tool, {"localstack"}, "AWS", "aws", Kind::http()),
      row("Ollama", 11434, tool, {"ollama"}, "LLM", "ollama",
          Kind::json("/api/version", "version", "Ollama")),
      row("Temporal", 7233, tool, {"temporal"}, "TMP", "tempo"),
      row("Prometheus", 9090, tool, {"prometheus"}, "PRM", "prom",
          Kind::json("/api/v1/status/buildinfo", "version", "Prometheus")),
      row("Mailpit", 8025, tool, {"mailpit", "mailhog"}, "MAIL", "mail", Kind::http()),
      row("Vite", 5173, web, {"vite"}, "VITE", "vite", Kind::http()),
      row("Web dev server", 3000, web, {"web", "next", "frontend"}, "WEB", "web", Kind::http()),
      row("API server", 8080, api, {"api", "backend"}, "API", "api", Kind::http()),
  };
}

std::vector<KnownService> makeAdminTools() {
  auto tool = [](std::string name, int port, std::string keyword, std::string pill) {
    return row(std::move(name), port, Category::web, {std::move(keyword)}, "WEB", std::move(pill),
               Kind::http());
  };
  return {
      tool("pgAdmin", 5050, "pgadmin", "pgadmin"),
      tool("phpMyAdmin", 8080, "phpmyadmin", "phpmyadmin"),
      tool("Adminer", 8080, "adminer", "adminer"),
      tool("Mongo Express", 8081, "mongo express", "mongo-ui"),
      tool("Redis Commander", 8081, "redis commander", "redis-ui"),
      tool("RedisInsight", 5540, "redisinsight", "redis-ui"),
      tool("Kafka UI", 8080, "kafka ui", "kafka-ui"),
      tool("RabbitMQ management", 15672, "rabbitmq management", "rabbit-ui"),
  };
}

bool matchesWords(const KnownService &service, const std::vector<std::string> &words,
                  const std::string &joined) {
  return std::ranges::any_of(service.keywords, [&](const std::string &keyword) {
    if (keyword.find(' ') != std::string::npos)
      return joined.find(keyword) != std::string::npos;
    return std::ranges::any_of(words,
                               [&](const std::string &word) { return word.starts_with(keyword); });
  });
}

bool isLetterOrNumber(char32_t scalar) {
  switch (generalCategory(scalar)) {
  case GeneralCategory::uppercaseLetter:
  case GeneralCategory::lowercaseLetter:
  case GeneralCategory::titlecaseLetter:
  case GeneralCategory::modifierLetter:
  case GeneralCategory::otherLetter:
  case GeneralCategory::decimalNumber:
  case GeneralCategory::letterNumber:
  case GeneralCategory::otherNumber: return true;
  default: return false;
  }
}

} // namespace

const std::vector<KnownService> &KnownService::catalogue() {
  static const std::vector<KnownService> table = makeCatalogue();
  return table;
}

const std::vector<KnownService> &KnownService::adminTools() {
  static const std::vector<KnownService> table = makeAdminTools();
  return table;
}

std::vector<std::string> KnownService::splitWords(std::string_view name) {
  std::vector<std::string> words;
  std::string current;
  // A character is judged by its first scalar, so combining marks stay with their letter.
  for (auto &cluster : graphemeClusters(name)) {
    const auto scalars = unicodeScalars(cluster);
    if (!scalars.empty() && isLetterOrNumber(scalars.front())) {
      current += cluster;
    } else if (!current.empty()) {
      words.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty())
    words.push_back(std::move(current));
  return words;
}

std::optional<KnownService> KnownService::matchByName(std::string_view name) {
  const auto words = splitWords(lowercased(name));
  if (words.empty())
    return std::nullopt;
  std::string joined;
  for (const auto &word : words) {
    if (!joined.empty())
      joined += ' ';
    joined += word;
  }
  for (const auto *table : {&adminTools(), &catalogue()})
    for (const auto &service : *table)
      if (matchesWords(service, words, joined))
        return service;
  return std::nullopt;
}

std::optional<KnownService> KnownService::findByName(std::string_view name, int port) {
  auto found = matchByName(name);
  if (found && found->name == "RabbitMQ" && port == 15672) {
    for (const auto &tool : adminTools())
      if (tool.name == "RabbitMQ management")
        return tool;
  }
  return found;
}

std::optional<KnownService> KnownService::lookup(std::string_view name, int port) {
  if (auto found = findByName(name, port))
    return found;
  for (const auto &service : catalogue())
    if (service.port == port)
      return service;
  return std::nullopt;
}

std::vector<KnownService> KnownService::matchTypedText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  const std::string query = lowercased(text);
  if (query.empty())
    return catalogue();
  std::vector<KnownService> matches;
  for (const auto &service : catalogue()) {
    const bool hit = lowercased(service.name).find(query) != std::string::npos ||
                     std::ranges::any_of(service.keywords, [&](const std::string &keyword) {
                       return keyword.starts_with(query) || query.starts_with(keyword);
                     });
    if (hit)
      matches.push_back(service);
  }
  return matches;
}

} // namespace corvane
