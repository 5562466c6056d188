#include "brimvale/panels/NearbyMapView.h"

#include "brimvale/panels/FrameTimer.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/Theme.h"

#include <QAbstractButton>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

namespace corvane {

namespace {

constexpr qreal disc = 48;
constexpr qreal nameWidthLimit = 130;
constexpr qreal middleDisc = 46;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QString stateWord(const MapNode &node) {
  if (node.kind.which == MapNode::Kind::Case::candidate)
    return QStringLiteral("choose to pair");
  return node.kind.online ? QStringLiteral("paired") : QStringLiteral("paired, not nearby");
}

QFont nameFont() {
  return Theme::system(11, QFont::Medium);
}
QFont stateFont() {
  return Theme::system(10);
}

QSize nodeSize(const MapNode &node) {
  const QFontMetricsF name(nameFont()), state(stateFont());
  const qreal width = std::max(
      {disc + 10,
       std::min(name.horizontalAdvance(QString::fromStdString(node.name)), nameWidthLimit) + 8,
       state.horizontalAdvance(stateWord(node)) + 8});
  return {static_cast<int>(std::ceil(width)),
          static_cast<int>(std::ceil(disc + 8 + 3 + name.height() + 3 + state.height()))};
}

// Text on a background backing, so lines passing behind stay readable.
void backedText(QPainter &painter, const QRectF &area, const QString &text, const QFont &font,
                const QColor &colour, qreal limit) {
  const QFontMetricsF metrics(font);
  const QString shown = metrics.elidedText(text, Qt::ElideRight, limit);
  const qreal width = metrics.horizontalAdvance(shown) + 8;
  const QRectF backing(area.center().x() - width / 2, area.top(), width, metrics.height());
  painter.fillRect(backing, Theme::background.resolved());
  painter.setFont(font);
  painter.setPen(colour);
  painter.drawText(backing, Qt::AlignCenter, shown);
}

} // namespace

// One Mac on the map: its disc with initials, its name and its state.
class NearbyNodeView : public QAbstractButton {
public:
  NearbyNodeView(NearbyMapView *map, MapNode node, bool selected)
      : QAbstractButton(map), map_(map), node_(std::move(node)), selected_(selected) {
    const bool candidate = node_.kind.which == MapNode::Kind::Case::candidate;
    setObjectName(candidate ? QStringLiteral("candidateNode") : QStringLiteral("pairedNode"));
    if (candidate) {
      setAccessibleName(QStringLiteral("Pair with ") + QString::fromStdString(node_.name));
      setCursor(Qt::PointingHandCursor);
      connect(this, &QAbstractButton::clicked, this, [this] {
        if (map_->onSelect_)
          map_->onSelect_(node_);
      });
    } else {
      // Not a button: clicks pass through, and it reads as one element.
      setAttribute(Qt::WA_TransparentForMouseEvents);
      setFocusPolicy(Qt::NoFocus);
      setAccessibleName(mapNodeInitials(QString::fromStdString(node_.name)) + QStringLiteral(", ") +
                        QString::fromStdString(node_.name) + QStringLiteral(", ") +
                        stateWord(node_));
    }
    resize(nodeSize(node_));
  }

  const MapNode &node() const { return node_; }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = Theme::accentColor(node_.colorIndex).resolved();
    const QRectF circle((width() - disc) / 2, 4, disc, disc);
    const bool candidate = node_.kind.which == MapNode::Kind::Case::candidate;
    const bool online = !candidate && node_.kind.online;
    painter.setPen(Qt::NoPen);
    if (candidate) {
      painter.setBrush(panelkit::faded(tint, map_->candidateOpacity()));
      painter.drawEllipse(circle);
      panelkit::strokeInside(painter, circle, panelkit::pen(tint, 2, 4, 4, 0, Qt::FlatCap));
    } else if (online) {
      painter.setBrush(tint);
      painter.drawEllipse(circle);
    } else {
      painter.setBrush(Theme::surface.resolved());
      painter.drawEllipse(circle);
      panelkit::strokeInside(painter, circle,
                             panelkit::pen(Theme::textFaint.resolved(), 1.5, 0, 0, 0, Qt::FlatCap));
    }
    painter.setFont(Theme::system(12, QFont::DemiBold));
    painter.setPen(online ? Theme::macColor(node_.colorIndex).on : Theme::text.resolved());
    painter.drawText(circle, Qt::AlignCenter, mapNodeInitials(QString::fromStdString(node_.name)));
    if (selected_) {
      painter.setPen(panelkit::pen(Theme::text.resolved(), 2, 0, 0, 0, Qt::FlatCap));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(circle.adjusted(-3, -3, 3, 3));
    }
    const QFontMetricsF name(nameFont());
    const qreal nameTop = circle.bottom() + 4 + 3;
    backedText(painter, QRectF(0, nameTop, width(), name.height()),
               QString::fromStdString(node_.name), nameFont(), Theme::text.resolved(),
               nameWidthLimit);
    backedText(painter, QRectF(0, nameTop + name.height() + 3, width(), 0), stateWord(node_),
               stateFont(), Theme::textMuted.resolved(), width());
  }

private:
  NearbyMapView *map_;
  MapNode node_;
  bool selected_;
};

namespace {

class MiddleMac : public QWidget {
public:
  explicit MiddleMac(QWidget *parent) : QWidget(parent) {
    setAccessibleName(QStringLiteral("This Mac"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const QFontMetricsF label(Theme::system(11, QFont::Medium));
    resize(
        static_cast<int>(std::ceil(std::max(middleDisc, label.horizontalAdvance("This Mac") + 8))),
        static_cast<int>(std::ceil(middleDisc + 2 + label.height())));
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle((width() - middleDisc) / 2, 0, middleDisc, middleDisc);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::ink.resolved());
    painter.drawEllipse(circle);
    panelkit::paintSymbol(painter, QStringLiteral("laptopcomputer"), circle.center(), 22,
                          Theme::onInk.resolved());
    backedText(painter, QRectF(0, middleDisc + 2, width(), 0), QStringLiteral("This Mac"),
               Theme::system(11, QFont::Medium), Theme::text.resolved(), width());
  }
};

} // namespace

std::vector<QPointF> layoutMapNodes(qreal cx, qreal cy, qreal radius, qreal width, int count) {
  std::vector<QPointF> points;
  if (count <= 0)
    return points;
  const qreal stretch = std::min(width * 0.36 / std::max(radius, 1.0) + 0.6, 1.9);
  const qreal start = count == 1 ? std::numbers::pi / 2 : std::numbers::pi / 5;
  for (int i = 0; i < count; ++i) {
    const qreal angle = start + (i * 2 * std::numbers::pi / count - std::numbers::pi / 2);
    points.emplace_back(cx + stretch * (radius * std::cos(angle)), cy + radius * std::sin(angle));
  }
  return points;
}

QString mapNodeInitials(const QString &name) {
  QString initials;
  int words = 0;
  bool inWord = false;
  for (const char32_t codePoint : name.toUcs4()) {
    const bool part = QChar::isLetterOrNumber(codePoint);
    if (part && !inWord && words < 2) {
      initials += QString::fromUcs4(&codePoint, 1);
      ++words;
    }
    inWord = part;
  }
  return initials.toUpper();
}

NearbyMapView::NearbyMapView(std::vector<MapNode> nodes, std::optional<std::string> selectedID,
                             std::function<void(const MapNode &)> onSelect, bool reduceMotion,
                             QWidget *parent)
    : QWidget(parent), onSelect_(std::move(onSelect)), reduceMotion_(reduceMotion),
      frames_(new FrameTimer(this)), startedAt_(steadySeconds()) {
  centre_ = new MiddleMac(this);
  setNodes(std::move(nodes), std::move(selectedID));
}

void NearbyMapView::setNodes(std::vector<MapNode> nodes, std::optional<std::string> selectedID) {
  nodes_ = std::move(nodes);
  selectedID_ = std::move(selectedID);
  rebuild();
}

bool NearbyMapView::isAnimating() const {
  return frames_->isRunning();
}

double NearbyMapView::candidateOpacity() const {
  if (reduceMotion_)
    return 0.12;
  const double cycle = std::fmod(steadySeconds() - startedAt_, 2 * pulseSeconds) / pulseSeconds;
  const double there = cycle <= 1 ? cycle : 2 - cycle;
  const double eased = 0.5 - 0.5 * std::cos(std::numbers::pi * there);
  return 0.12 + 0.16 * eased;
}

void NearbyMapView::rebuild() {
  for (QWidget *view : nodeViews_)
    view->deleteLater();
  nodeViews_.clear();
  bool candidates = false;
  for (const MapNode &node : nodes_) {
    auto *view = new NearbyNodeView(this, node, selectedID_ && *selectedID_ == node.id);
    view->show();
    nodeViews_.push_back(view);
    candidates = candidates || node.kind.which == MapNode::Kind::Case::candidate;
  }
  centre_->raise();
  // Only candidates breathe; nothing else moves.
  frames_->setMoving(candidates && !reduceMotion_);
  place();
  update();
}

std::vector<QPointF> NearbyMapView::points() const {
  const qreal w = width(), h = height();
  return layoutMapNodes(w * 0.5, h * 0.5, std::min(w * 0.36, h * 0.36), w,
                        static_cast<int>(nodes_.size()));
}

QPointF NearbyMapView::nodePoint(int index) const {
  const auto all = points();
  return index >= 0 && index < static_cast<int>(all.size()) ? all[index] : QPointF();
}

void NearbyMapView::place() {
  const auto all = points();
  for (std::size_t i = 0; i < nodeViews_.size() && i < all.size(); ++i) {
    QWidget *view = nodeViews_[i];
    // The whole node, disc and labels, is centred on the point: centring the disc alone let
    // the labels of a lower node run past the bottom of a short map.
    // On a short map the node moves in from the edge, a few points off its line's end,
    // rather than losing its state under the edge.
    const auto clamped = [](qreal at, int size, int room) {
      return std::clamp(static_cast<int>(std::lround(at - size / 2.0)), 0,
                        std::max(0, room - size));
    };
    view->move(clamped(all[i].x(), view->width(), width()),
               clamped(all[i].y(), view->height(), height()));
  }
  centre_->move(static_cast<int>(std::lround(width() / 2.0 - centre_->width() / 2.0)),
                static_cast<int>(std::lround(height() / 2.0 - centre_->height() / 2.0)));
}

void NearbyMapView::resizeEvent(QResizeEvent *) {
  place();
}

void NearbyMapView::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPointF centre(width() * 0.5, height() * 0.5);
  const auto all = points();
  for (std::size_t i = 0; i < nodes_.size() && i < all.size(); ++i) {
    const MapNode &node = nodes_[i];
    const bool online = node.kind.which == MapNode::Kind::Case::paired && node.kind.online;
    painter.setPen(online ? panelkit::pen(Theme::accentColor(node.colorIndex).resolved(), 3)
                          : panelkit::pen(Theme::textFaint.resolved(), 3, 4, 7));
    painter.drawLine(centre, all[i]);
  }
}

} // namespace corvane
