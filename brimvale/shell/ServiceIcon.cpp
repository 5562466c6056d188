#include "brimvale/shell/ServiceIcon.h"

#include "brimvale/shell/TemplateImage.h"
#include "brimvale/shell/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <cmath>
#include <map>

namespace corvane {

namespace {

constexpr qreal cornerShare = 0.26;
constexpr qreal logoShare = 0.53;
constexpr qreal symbolShare = 0.42;
constexpr qreal lettersShare = 0.31;

const std::map<QString, QString> &logoFiles() {
  static const std::map<QString, QString> table = {
      {"PostgreSQL", "postgresql"},
      {"MySQL", "mysql"},
      {"Redis", "redis"},
      {"MongoDB", "mongodb"},
      {"SQL Server", "microsoftsqlserver"},
      {"CockroachDB", "cockroachlabs"},
      {"Cassandra", "apachecassandra"},
      {"ClickHouse", "clickhouse"},
      {"Neo4j", "neo4j"},
      {"InfluxDB", "influxdb"},
      {"etcd", "etcd"},
      {"DynamoDB", "amazondynamodb"},
      {"Elasticsearch", "elasticsearch"},
      {"Meilisearch", "meilisearch"},
      {"RabbitMQ", "rabbitmq"},
      {"Kafka", "apachekafka"},
      {"NATS", "natsdotio"},
      {"MQTT broker", "mqtt"},
      {"Pulsar", "apachepulsar"},
      {"MinIO", "minio"},
      {"Ollama", "ollama"},
      {"Temporal", "temporal"},
      {"Prometheus", "prometheus"},
      {"Vite", "vite"},
  };
  return table;
}

const std::map<QString, QString> &symbols() {
  static const std::map<QString, QString> table = {
      {"Web dev server", "chevron.left.forwardslash.chevron.right"},
      {"API server", "globe"},
      {"Mailpit", "envelope"},
      {"LocalStack", "cloud"},
      {"Memcached", "memorychip"},
      {"Qdrant", "point.3.connected.trianglepath.dotted"},
      {"Typesense", "magnifyingglass"},
  };
  return table;
}

std::optional<QString> lookUp(const std::map<QString, QString> &table, const QString &key) {
  const auto found = table.find(key);
  if (found == table.end())
    return std::nullopt;
  return found->second;
}

} // namespace

ServiceIcon::ServiceIcon(std::optional<KnownService> known, QString letters, qreal size,
                         QWidget *parent)
    : QWidget(parent), known_(std::move(known)), letters_(std::move(letters)), size_(size) {
  const int side = static_cast<int>(std::ceil(size));
  setFixedSize(side, side);
}

std::optional<QString> ServiceIcon::logoFileName(const QString &serviceName) {
  return lookUp(logoFiles(), serviceName);
}

std::optional<QString> ServiceIcon::symbolName(const QString &serviceName) {
  return lookUp(symbols(), serviceName);
}

std::shared_ptr<QSvgRenderer> ServiceIcon::logoImage(const std::optional<KnownService> &known,
                                                     const QString &folder) {
  if (!known)
    return nullptr;
  const auto file = logoFileName(QString::fromStdString(known->name));
  if (!file)
    return nullptr;
  static std::map<QString, std::shared_ptr<QSvgRenderer>> cache;
  const QString path = folder + QLatin1Char('/') + *file + QStringLiteral(".svg");
  if (const auto found = cache.find(path); found != cache.end())
    return found->second;
  auto image = TemplateImage::load(path);
  if (image)
    cache.emplace(path, image);
  return image;
}

ServiceIcon::Content ServiceIcon::content() const {
  if (logoImage(known_))
    return Content::logo;
  if (known_ && symbolName(QString::fromStdString(known_->name)) &&
      TemplateImage::symbol(*symbolName(QString::fromStdString(known_->name))))
    return Content::symbol;
  return Content::letters;
}

QSize ServiceIcon::sizeHint() const {
  const int side = static_cast<int>(std::ceil(size_));
  return {side, side};
}

void ServiceIcon::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF tile(0, 0, size_, size_);
  QPainterPath shape;
  shape.addRoundedRect(tile, cornerShare * size_, cornerShare * size_);
  painter.fillPath(shape, Theme::tile.in(Theme::appearanceOf(palette())));

  const QColor foreground = palette().color(QPalette::WindowText);
  auto centred = [&](qreal share) {
    const qreal side = share * size_;
    return QRectF(tile.center() - QPointF(side / 2, side / 2), QSizeF(side, side));
  };
  if (auto logo = logoImage(known_)) {
    TemplateImage::paint(painter, *logo, centred(logoShare), foreground);
    return;
  }
  if (known_) {
    if (const auto name = symbolName(QString::fromStdString(known_->name))) {
      if (auto symbol = TemplateImage::symbol(*name)) {
        TemplateImage::paint(painter, *symbol, centred(symbolShare), foreground);
        return;
      }
    }
  }
  painter.setPen(foreground);
  painter.setFont(Theme::mono(lettersShare * size_, QFont::Bold));
  painter.drawText(tile, Qt::AlignCenter | Qt::TextSingleLine, letters_);
}

} // namespace corvane
