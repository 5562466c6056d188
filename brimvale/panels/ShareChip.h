#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/panels/PanelContext.h"

#include <QAbstractButton>
#include <QTimer>

class QMenu;

namespace corvane {

// One of this Mac's shares in the map panel: a capsule with a status mark, the share's name
// and a short status line that counts the time left down each minute. A tap pauses or
// resumes the share; in edit mode a tap opens the share's menu; a secondary click always
// does. Main thread only; the context's manager must outlive the chip.
class ShareChip : public QAbstractButton {
  Q_OBJECT

public:
  static constexpr int refreshMs = 60 * 1000;

  ShareChip(const PanelContext &context, OutgoingService row, bool editing,
            QWidget *parent = nullptr);

  const OutgoingService &row() const { return row_; }
  bool editing() const { return editing_; }
  // Shows `row` (the same share, republished) in place.
  void setRow(OutgoingService row);
  // The status line at date `now`; empty when there is nothing to say.
  QString statusLine(Date now) const;
  static QString stateWord(const OutgoingService &row);
  QString shownStatus() const { return status_; }
  // The name and the status line as drawn at the chip's width: the name keeps its room
  // first, the status line is cut or left out.
  struct Shown {
    QString name;
    QString status;
  };
  Shown shown() const;
  bool isRefreshing() const { return refresh_.isActive(); }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

protected:
  void paintEvent(QPaintEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;

private:
  void refresh();
  QMenu *menu() const;

  const PanelContext &context_;
  OutgoingService row_;
  bool editing_;
  QString status_;
  QTimer refresh_;
};

} // namespace corvane
