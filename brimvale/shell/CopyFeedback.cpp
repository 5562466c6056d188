#include "brimvale/shell/CopyFeedback.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>

namespace corvane {

CopyFeedback::CopyFeedback(MainQueue &queue, QObject *parent) : QObject(parent), queue_(queue) {}

void CopyFeedback::copyWithFeedback(const QString &text, const QString &id) {
  QClipboard *clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(text);
  setCopiedID(id);
  // A clearing that finds another item marked leaves that item's mark alone.
  queue_.postAfter(markSeconds, [self = QPointer(this), id] {
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
