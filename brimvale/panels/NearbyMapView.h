#pragma once

#include <QPointF>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class FrameTimer;

// One Mac around the middle of a nearby map: a paired Mac (nearby or not) or a candidate
// the user may pair with.
struct MapNode {
  struct Kind {
    enum class Case { paired, candidate };
    Case which = Case::candidate;
    bool online = false; // paired only

    static Kind paired(bool online) { return {Case::paired, online}; }
    static Kind candidate() { return {Case::candidate, false}; }
    bool operator==(const Kind &) const = default;
  };

  std::string id;
  std::string name;
  Kind kind;
  int colorIndex = 0; // any value: taken modulo the tint palette, never negative

  bool operator==(const MapNode &) const = default;
};

// The points of `count` nodes on an ellipse around (cx, cy): the first up and to the right
// (straight to the right when alone), the rest clockwise at equal angles, stretched
// sideways by the view's width.
std::vector<QPointF> layoutMapNodes(qreal cx, qreal cy, qreal radius, qreal width, int count);
// The first letters of the first two words (runs of letters and digits), in upper case.
QString mapNodeInitials(const QString &name);

// This Mac in the middle of the area and the given Macs on an ellipse around it, each joined
// to the middle by a line. Candidates are buttons that call `onSelect` and breathe (at most
// 30 frames a second, still with Reduce Motion); paired Macs do not react. Embedded by the
// pairing and onboarding windows. Main thread only.
class NearbyMapView : public QWidget {
  Q_OBJECT

public:
  static constexpr double pulseSeconds = 1.1;

  NearbyMapView(std::vector<MapNode> nodes, std::optional<std::string> selectedID,
                std::function<void(const MapNode &)> onSelect, bool reduceMotion,
                QWidget *parent = nullptr);

  void setNodes(std::vector<MapNode> nodes, std::optional<std::string> selectedID);
  const std::vector<MapNode> &nodes() const { return nodes_; }
  // The candidates' fill opacity now: 0.12 to 0.28, eased, back and forth.
  double candidateOpacity() const;
  bool isAnimating() const;
  // Where node `index` stands now.
  QPointF nodePoint(int index) const;

  QSize sizeHint() const override { return {400, 260}; }
  QSize minimumSizeHint() const override { return {0, 0}; }

protected:
  void paintEvent(QPaintEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;

private:
  friend class NearbyNodeView;
  void rebuild();
  void place();
  std::vector<QPointF> points() const;

  std::vector<MapNode> nodes_;
  std::optional<std::string> selectedID_;
  std::function<void(const MapNode &)> onSelect_;
  bool reduceMotion_;
  FrameTimer *frames_;
  double startedAt_;
  std::vector<QWidget *> nodeViews_;
  QWidget *centre_ = nullptr;
};

} // namespace corvane
