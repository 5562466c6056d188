#pragma once

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/panels/PanelContext.h"
#include "brimvale/shell/CopyFeedback.h"
#include "brimvale/shell/PanelActions.h"

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>
#include <optional>
#include <set>
#include <string>

class QMenu;

namespace corvane {

class PanelFrame;
class StateWatch;

// One port a paired Mac offers, in the classic panel: a click copies "localhost:<port>" (a
// port without a local port copies nothing); its context menu has the port's items and turns
// it on or off. Main thread only.
class ClassicIncomingRow : public QAbstractButton {
  Q_OBJECT

public:
  ClassicIncomingRow(const PanelContext &context, IncomingService row, CopyFeedback &feedback,
                     QWidget *parent = nullptr);

  const IncomingService &row() const { return row_; }
  std::optional<QString> address() const;
  QMenu *buildContextMenu();

protected:
  void paintEvent(QPaintEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;

private:
  const PanelContext &context_;
  IncomingService row_;
  CopyFeedback &feedback_;
};

// The list-style panel: every paired Mac with the ports it offers, this Mac's shares with
// their switches and menus, the pause banner, the inline share editor, and a footer with
// "Pair a Mac…", "Settings…", "Quit", the update offer, the tip and the notice. Uses the
// desktop's own colours and fonts. Rebuilt from the manager's published state when it
// changes. Main thread only; the context's manager, opener and update checker must outlive it.
class ClassicPanel : public QWidget {
  Q_OBJECT

public:
  ClassicPanel(PanelContext context, PanelActions actions, qreal maxHeight,
               QWidget *parent = nullptr);
  ~ClassicPanel() override;

  // The paired Macs nearby now (those still paired only).
  // "12 ms" from the Mac's first row with a latency, else "Nearby".
  std::string latencyLabel(const std::string &deviceID) const;

  void setSharing(bool open);
  bool sharing() const { return sharing_; }
  CopyFeedback &feedback() { return feedback_; }
  void rebuild();

protected:
  void changeEvent(QEvent *event) override;

private:
  QWidget *header();
  QWidget *middle();
  QWidget *footer();
  QWidget *macGroup(const PairedPeer &peer, const std::vector<IncomingService> &rows);
  QWidget *sharingSection();
  QWidget *shareRow(const OutgoingService &row);

  PanelContext context_;
  PanelActions actions_;
  qreal maxHeight_;
  CopyFeedback feedback_;
  bool sharing_ = false;
  // The share editor while sharing: kept across rebuilds, so what the user typed and what its
  // scan found stay.
  QPointer<QWidget> shareEditor_;
  PanelFrame *frame_ = nullptr;
  StateWatch *watch_ = nullptr;
};

} // namespace corvane
