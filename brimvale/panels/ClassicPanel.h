#pragma once

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/panels/PanelBody.h"
#include "brimvale/panels/PanelContext.h"
#include "brimvale/shell/CopyFeedback.h"
#include "brimvale/shell/PanelActions.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <map>
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
  // Shows `row` (the same port, republished): the row's widgets are made again only when
  // something they show changed.
  void setRow(IncomingService row);
  // "localhost:<port>" while the port is connected and has a local port.
  std::optional<QString> address() const;
  // Green for a connected port, orange for one with a problem, grey for any other state.
  static QColor dotColor(const IncomingService &row);
  QMenu *buildContextMenu();

protected:
  void paintEvent(QPaintEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;

private:
  void build();
  QString look() const;

  const PanelContext &context_;
  IncomingService row_;
  CopyFeedback &feedback_;
};

// One of this Mac's shares in the classic panel: its name and port, the access line that
// counts the minutes down, its status, a switch and its menu. Follows its share in place, so a
// press on the switch or the menu outlives a republish. Main thread only.
class ClassicShareRow : public QWidget {
  Q_OBJECT

public:
  ClassicShareRow(const PanelContext &context, OutgoingService row, QWidget *parent = nullptr);

  const OutgoingService &row() const { return row_; }
  // Shows `row` (the same share, republished).
  void setRow(OutgoingService row);

private:
  void showRow();
  void showAccess();

  const PanelContext &context_;
  OutgoingService row_;
  QLabel *name_;
  QLabel *access_;
  QLabel *status_;
  QAbstractButton *toggle_;
  QAbstractButton *more_;
};

// The list-style panel: every paired Mac with the ports it offers, this Mac's shares with
// their switches and menus, the pause banner, the inline share editor, and a footer with
// "Pair a Mac…", "Settings…", "Quit", the update offer, the tip and the notice. Uses the
// desktop's own colours and fonts. Follows the manager's published state: rows update in
// place, and a part is built again only when what it lists changes. Main thread only; the context's
// manager, opener and update checker must outlive it.
class ClassicPanel : public QWidget {
  Q_OBJECT
  // A screen of another height gives the panel another limit; what the user was doing stays.
  Q_PROPERTY(qreal maxHeight READ maxHeight WRITE setMaxHeight)

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
  PanelFrame *frame() const { return body_.current(); }
  qreal maxHeight() const { return maxHeight_; }
  void setMaxHeight(qreal maxHeight);
  // The frame's height: as tall as the content, up to the limit.
  QSize sizeHint() const override { return body_.sizeHint(); }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override { return body_.heightForWidth(width); }

protected:
  void changeEvent(QEvent *event) override;

private:
  QWidget *header();
  QWidget *middle();
  QWidget *footer();
  QWidget *macGroup(const PairedPeer &peer, const std::vector<IncomingService> &rows);
  QWidget *sharingSection();
  ClassicShareRow *keptShareRow(const OutgoingService &row);
  ClassicIncomingRow *incomingRow(const IncomingService &row);
  QString middleSignature() const;
  QString footerSignature() const;
  void refreshRows();

  PanelContext context_;
  PanelActions actions_;
  qreal maxHeight_;
  CopyFeedback feedback_;
  bool sharing_ = false;
  // The share editor while sharing: kept across rebuilds, so what the user typed and what its
  // scan found stay.
  QPointer<QWidget> shareEditor_;
  PanelBody body_;
  StateWatch *watch_ = nullptr;
  // Row views by identity, reused while the row stays.
  std::map<std::string, QPointer<ClassicIncomingRow>> incomingRows_;
  std::map<std::string, QPointer<ClassicShareRow>> shareRows_;
  std::map<std::string, QPointer<QLabel>> reaches_;
};

} // namespace corvane
