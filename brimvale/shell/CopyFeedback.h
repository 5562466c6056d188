#pragma once

#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/WorkItem.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

namespace corvane {

// Copies a text to the clipboard and marks, for 1.4 s, which item copied it, so that the item
// can show its copied look. One per panel, handed to its rows. Main thread only; `queue` runs
// the clearing and must outlive this object.
class CopyFeedback : public QObject {
  Q_OBJECT

public:
  static constexpr double markSeconds = 1.4;

  explicit CopyFeedback(MainQueue &queue, QObject *parent = nullptr);
  ~CopyFeedback() override;

  // The identifier of the item that copied last, while its mark lasts.
  const std::optional<QString> &copiedID() const { return copiedID_; }

  // Replaces the clipboard's content with `text` and marks `id`. The mark clears 1.4 s after
  // the last copy, of this item or another.
  void copyWithFeedback(const QString &text, const QString &id);

signals:
  void copiedIDChanged();

private:
  void setCopiedID(std::optional<QString> id);

  MainQueue &queue_;
  std::optional<QString> copiedID_;
  WorkItem clearing_;
};

} // namespace corvane
