#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/shell/ServiceIcon.h"
#include "brimvale/shell/TemplateImage.h"
#include "brimvale/shell/Theme.h"
#include "tests/shell/Appearance.h"

#include <QFile>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace corvane {
namespace {

KnownService row(const std::string &name) {
  for (const auto &known : KnownService::catalogue())
    if (known.name == name)
      return known;
  for (const auto &known : KnownService::adminTools())
    if (known.name == name)
      return known;
  KnownService made;
  made.name = name;
  return made;
}

TEST(ServiceIconTest, EveryLogoAndSymbolShipsAndLoads) {
  const char *logos[] = {"PostgreSQL",  "MySQL",     "Redis",         "MongoDB",     "SQL Server",
                         "CockroachDB", "Cassandra", "ClickHouse",    "Neo4j",       "InfluxDB",
                         "etcd",        "DynamoDB",  "Elasticsearch", "Meilisearch", "RabbitMQ",
                         "Kafka",       "NATS",      "MQTT broker",   "Pulsar",      "MinIO",
                         "Ollama",      "Temporal",  "Prometheus",    "Vite"};
  for (const char *name : logos) {
    ASSERT_TRUE(ServiceIcon::logoFileName(name)) << name;
    EXPECT_NE(ServiceIcon::logoImage(row(name)), nullptr) << name;
  }
  EXPECT_EQ(ServiceIcon::logoFileName("SQL Server"), QString("microsoftsqlserver"));
  EXPECT_EQ(ServiceIcon::logoFileName("postgresql"), std::nullopt) << "names match exactly";
  for (const char *name : {"Web dev server", "API server", "Mailpit", "LocalStack", "Memcached",
                           "Qdrant", "Typesense"}) {
    ASSERT_TRUE(ServiceIcon::symbolName(name)) << name;
    EXPECT_NE(TemplateImage::symbol(*ServiceIcon::symbolName(name)), nullptr) << name;
  }
  for (const char *name : {"plus", "lock.fill", "gearshape", "ellipsis", "ellipsis.circle",
                           "ellipsis.circle.fill", "doc.on.doc", "arrow.down.circle",
                           "pause.circle.fill", "square.stack.3d.up", "laptopcomputer"})
    EXPECT_NE(TemplateImage::symbol(name), nullptr) << name;
}

TEST(ServiceIconTest, ShowsTheLogoElseTheSymbolElseTheLetters) {
  EXPECT_EQ(ServiceIcon(row("PostgreSQL"), "PG", 40).content(), ServiceIcon::Content::logo);
  EXPECT_EQ(ServiceIcon(row("Memcached"), "MC", 40).content(), ServiceIcon::Content::symbol);
  EXPECT_EQ(ServiceIcon(row("Quokka Ledger"), "QUO", 40).content(), ServiceIcon::Content::letters);
  // Without a catalogue row the tables are never consulted, whatever the letters say.
  EXPECT_EQ(ServiceIcon(std::nullopt, "PostgreSQL", 40).content(), ServiceIcon::Content::letters);
}

TEST(ServiceIconTest, AMissingLogoIsLookedForAgainNextTime) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  EXPECT_EQ(ServiceIcon::logoImage(row("Redis"), folder.path()), nullptr);
  QFile::copy(":/logos/redis.svg", folder.filePath("redis.svg"));
  auto loaded = ServiceIcon::logoImage(row("Redis"), folder.path());
  ASSERT_NE(loaded, nullptr);
  // Read once: the same image while the process lives, even after the file goes.
  QFile::remove(folder.filePath("redis.svg"));
  EXPECT_EQ(ServiceIcon::logoImage(row("Redis"), folder.path()), loaded);
  QFile broken(folder.filePath("mysql.svg"));
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("<svg");
  broken.close();
  EXPECT_EQ(ServiceIcon::logoImage(row("MySQL"), folder.path()), nullptr);
}

TEST(ServiceIconTest, DrawsTheLogoInTheForegroundColourOnTheTile) {
  for (auto appearance : {Theme::Appearance::light, Theme::Appearance::dark}) {
    testing::ScopedAppearance scoped(appearance);
    ServiceIcon icon(row("Redis"), "RED", 40);
    QPalette palette = icon.palette();
    palette.setColor(QPalette::WindowText, QColor(0x2F5BEA));
    icon.setPalette(palette);
    EXPECT_EQ(icon.size(), QSize(40, 40));
    const QImage image = icon.grab().toImage();
    EXPECT_EQ(image.pixelColor(20, 3), Theme::tile.in(appearance)) << "tile behind";
    int inked = 0;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 40; ++x)
        inked += image.pixelColor(x, y) == QColor(0x2F5BEA);
    EXPECT_GT(inked, 30) << "the logo is drawn in the foreground colour";
    // Corners are cut round (radius 10.4): the very corner is not the tile's colour.
    EXPECT_NE(image.pixelColor(0, 0), Theme::tile.in(appearance));
  }
}

} // namespace
} // namespace corvane
