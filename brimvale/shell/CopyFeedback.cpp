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
  // Only the latest copy clears: the same item copied twice keeps its mark for the full time
  // after the second copy.
  clearing_.cancel();
  clearing_ = queue_.postAfter(markSeconds, [self = QPointer(this), id] {
    if (self && self->copiedID_ == id)
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
