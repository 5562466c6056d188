#include "brimvale/shell/CopyFeedback.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>

namespace corvane {

CopyFeedback::CopyFeedback(MainQueue &queue, QObject *parent) : QObject(parent), queue_(queue) {}

CopyFeedback::~CopyFeedback() {
  clearing_.cancel();
}

void CopyFeedback::copyWithFeedback(const QString &text, const QString &id) {
  QClipboard *clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(text);
  setCopiedID(id);
  // An earlier copy's clearing would cut this mark short, even when it marks the same item.
  clearing_.cancel();
  clearing_ = queue_.postAfter(markSeconds, [self = QPointer(this)] {
    if (self)
      self->setCopiedID(std::nullopt);
  });
}

void CopyFeedback::setCopiedID(std::optional<QString> id) {
  if (copiedID_ == id)
    return;
  copiedID_ = std::move(id);
  emit copiedIDChanged();
}

} // namespace corvane
