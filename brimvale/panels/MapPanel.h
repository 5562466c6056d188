#pragma once

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/panels/PanelBody.h"
#include "brimvale/panels/PanelContext.h"
#include "brimvale/shell/CopyFeedback.h"
#include "brimvale/shell/PanelActions.h"

#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvane {

class PanelFrame;
class PortRow;
class ShareChip;
class StateWatch;

// The map-style panel: a header with the status sentence and the encryption badge; the
// paired Macs on a map with the selected Mac's ports (or the searching well while none is
// nearby); this Mac's shares as chips; and a footer with the notice, the update offer or the
// shortcut hint, then Settings and Quit. Follows the manager's published state: rows and chips
// update in place, and a part is built again only when what it lists changes, keeping the
// scroll position. It changes nothing except through the manager's operations. Main thread only;
// the context's manager, opener and update checker must outlive it.
class MapPanel : public QWidget {
  Q_OBJECT
  // A screen of another height gives the panel another limit; what the user was doing stays.
  Q_PROPERTY(qreal maxHeight READ maxHeight WRITE setMaxHeight)

public:
  // The map has four places.
  static constexpr std::size_t mapPlaces = 4;

  MapPanel(PanelContext context, PanelActions actions, qreal maxHeight, QWidget *parent = nullptr);
  ~MapPanel() override;

  // The paired Macs nearby now (those still paired only).
  // Nearby Macs first, then the others, each oldest paired first; at most four.
  std::vector<PairedPeer> shownMacs() const;
  std::optional<PairedPeer> selectedMac() const;
  // The selected Mac's card subtitle: "away · 1 port", "12 ms · 3 ports", ….
  std::string cardSubtitle(const PairedPeer &peer) const;

  void select(const std::string &deviceID);
  void setSharing(bool open);
  void setEditingShares(bool editing);
  void setShowingHelp(bool showing);
  bool sharing() const { return sharing_; }
  bool editingShares() const { return editingShares_; }
  bool showingHelp() const { return showingHelp_; }
  CopyFeedback &feedback() { return feedback_; }
  const PanelContext &context() const { return context_; }

  // Brings the content up to the manager's state now.
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
  void showEvent(QShowEvent *event) override;

private:
  QWidget *header();
  QWidget *middle();
  QWidget *footer();
  QWidget *macsSection();
  QWidget *emptyState();
  QWidget *mapAndCard();
  QWidget *card(const PairedPeer &peer);
  QWidget *map();
  PortRow *portRow(const IncomingService &row);
  QString headerSignature() const;
  QString middleSignature() const;
  QString mapSignature() const;
  QString footerSignature() const;
  // Updates rows, chips, the map and the card's subtitle in place.
  void refreshRows();
  // Scrolls to a share or an environment that was not there before.
  void revealAdded();
  QWidget *sharesSection();
  QWidget *pausedBanner();

  PanelContext context_;
  PanelActions actions_;
  qreal maxHeight_;
  CopyFeedback feedback_;
  std::optional<std::string> selectedPeerID_;
  bool sharing_ = false;
  // The share editor while sharing: kept across rebuilds, so what the user typed and what its
  // scan found stay.
  QPointer<QWidget> shareEditor_;
  bool showingHelp_ = false;
  bool editingShares_ = false;
  PanelBody body_;
  StateWatch *watch_ = nullptr;
  // The views of rows and chips by their identity, reused while the row stays.
  std::map<std::string, QPointer<PortRow>> portRows_;
  std::map<std::string, QPointer<ShareChip>> chips_;
  std::map<std::string, QPointer<QWidget>> environmentHeads_;
  QPointer<QWidget> map_;
  QString mapSignature_;
  QPointer<QLabel> cardSubtitle_;
  std::optional<std::set<std::string>> seen_;
};

} // namespace corvane
