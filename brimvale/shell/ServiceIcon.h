#pragma once

#include "brimvale/catalogue/KnownServices.h"

#include <QString>
#include <QWidget>
#include <memory>
#include <optional>

class QSvgRenderer;

namespace corvane {

// The square tile that stands for a service beside a listed port: the service's logo, else a
// symbol for a few kinds of tool, else its letters in the monospaced face, all drawn in the
// widget's foreground (WindowText) colour on a rounded `tile`. Decoration only: the row around
// it names the service. Main thread only.
class ServiceIcon : public QWidget {
  Q_OBJECT

public:
  ServiceIcon(std::optional<KnownService> known, QString letters, qreal size,
              QWidget *parent = nullptr);

  const std::optional<KnownService> &known() const { return known_; }
  const QString &letters() const { return letters_; }
  qreal tileSize() const { return size_; }

  enum class Content { logo, symbol, letters };
  // What the tile shows now.
  Content content() const;

  // The logo file name for a catalogue row's name, and the symbol for a few tools.
  static std::optional<QString> logoFileName(const QString &serviceName);
  static std::optional<QString> symbolName(const QString &serviceName);

  // The logo of a catalogue row, read from `folder` once and kept for the life of the process;
  // a missing or broken file is looked for again next time.
  static std::shared_ptr<QSvgRenderer> logoImage(const std::optional<KnownService> &known,
                                                 const QString &folder = QStringLiteral(":/logos"));

  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  std::optional<KnownService> known_;
  QString letters_;
  qreal size_;
};

} // namespace corvane
