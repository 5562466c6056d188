#pragma once

#include <QString>
#include <QWidget>

namespace corvane {

// One line of text that ends in "…" when it does not fit its width. The cut falls between
// whole user-perceived characters; while it is shortened, the whole text is its tool tip.
// Main thread only.
class ElidingLabel : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString text READ text WRITE setText)
  Q_PROPERTY(QString shownText READ shownText)

public:
  explicit ElidingLabel(const QString &text = {}, QWidget *parent = nullptr);

  const QString &text() const { return text_; }
  void setText(const QString &text);
  // The text as it is drawn at the current width.
  QString shownText() const;

  void setAlignment(Qt::Alignment alignment);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;
  void changeEvent(QEvent *event) override;

private:
  void showWholeTextAsTip();

  QString text_;
  Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
};

} // namespace corvane
