#pragma once

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/platform/Clock.h"

#include <QAbstractButton>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class FrameTimer;
class ServiceManager;

// The picture at the top of the map panel: this Mac in the middle of two rings, up to four
// paired Macs as discs in fixed slots around it, a line to each (flowing dashes while one of
// its ports is in use here, at most 30 frames a second, still with Reduce Motion), labels of
// the ports each offers, and a "Pair a Mac" tile. Clicking a disc selects that Mac; the tile
// pairs. Reads the manager, changes nothing. Main thread only; the manager must outlive it.
class MacMap : public QWidget {
  Q_OBJECT

public:
  static constexpr int mapWidth = 340;
  static constexpr int mapHeight = 224;
  static constexpr int slotCount = 4;

  struct Slot {
    qreal x;
    qreal y;
    qreal diameter;

    bool small() const { return diameter <= 70; }
  };
  static const std::array<Slot, slotCount> places;
  static constexpr QPointF middle{170, 124};

  using Select = std::function<void(const std::string &deviceID)>;

  // Only the first four of `peers` have a place; the rest are not drawn.
  MacMap(ServiceManager &manager, bool reduceMotion, std::vector<PairedPeer> peers,
         std::optional<std::string> selectedID, Select select, std::function<void()> pair,
         std::function<Date()> now, QWidget *parent = nullptr);

  const std::vector<PairedPeer> &shownPeers() const { return peers_; }
  // The dashes' offset along the lines at date `t`: 22 points every 1.1 s.
  static double phase(Date t);
  // The short name on a disc: the first word, at most 9 characters.
  static QString shortName(const std::string &name);
  bool anyInUse() const { return anyInUse_; }
  bool isAnimating() const;

  // The labels of a Mac's ports as the map shows them: on its link, and under a large disc,
  // each moved the least way it can off the discs, this Mac, the tile and the other labels.
  struct PortLabel {
    QString text;
    bool active = false;
    QPointF centre;
    QSizeF size;

    QRectF pill() const { return {centre - QPointF(size.width(), size.height()) / 2, size}; }
    bool operator==(const PortLabel &) const = default;
  };
  std::vector<PortLabel> portLabels(std::size_t slot) const;

  QSize sizeHint() const override { return {mapWidth, mapHeight}; }

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  friend class MacMapLabels;
  bool online(const PairedPeer &peer) const;
  // Every shown Mac's labels where they are drawn, by slot.
  const std::vector<std::vector<PortLabel>> &placedLabels() const;
  std::vector<PortLabel> wantedLabels(std::size_t slot) const;
  // Where a label of the Mac in `slot` may move to, nearest first.
  std::vector<QPointF> nearPlaces(QPointF wanted, std::size_t slot) const;
  // The nearest of them off every node and every rectangle of `taken`.
  std::optional<QPointF> freePlace(const PortLabel &label, std::size_t slot,
                                   const std::vector<QRectF> &taken) const;
  // The one off every node that `taken` covers least; the wanted place when none is.
  QPointF leastCovered(const PortLabel &label, std::size_t slot,
                       const std::vector<QRectF> &taken) const;
  bool isFree(const QRectF &pill, const std::vector<QRectF> &taken) const;

  ServiceManager &manager_;
  bool reduceMotion_;
  std::vector<PairedPeer> peers_;
  std::optional<std::string> selectedID_;
  std::function<Date()> now_;
  bool anyInUse_ = false;
  FrameTimer *frames_;
  QWidget *tile_ = nullptr;
  mutable std::vector<std::vector<PortLabel>> wanted_;
  mutable std::vector<std::vector<PortLabel>> placed_;
};

} // namespace corvane
