#include "brimvale/panels/MapPanel.h"

#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/manager/SharingState.h"
#include "brimvale/panels/MacMap.h"
#include "brimvale/panels/PanelParts.h"
#include "brimvale/panels/PortRow.h"
#include "brimvale/panels/SearchingWell.h"
#include "brimvale/panels/ShareChip.h"
#include "brimvale/panels/StateWatch.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/ElidingLabel.h"
#include "brimvale/shell/FlowLayout.h"
#include "brimvale/shell/GlobalHotkey.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/PanelFrame.h"
#include "brimvale/shell/ShareGroups.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/Theme.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

using panelkit::label;

QColor color(const Theme::DynamicColor &dynamic) {
  return dynamic.resolved();
}

// A widget whose background is a rounded rectangle, optionally outlined. Its colours are
// resolved when it paints, so a box painted before the panel's rebuild follows the appearance.
class RoundedBox : public QWidget {
public:
  RoundedBox(Theme::DynamicColor fill, qreal radius,
             std::optional<Theme::DynamicColor> border = std::nullopt)
      : fill_(fill), radius_(radius), border_(border) {}

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), radius_, radius_);
    painter.fillPath(shape, fill_.resolved());
    if (border_) {
      painter.setPen(panelkit::pen(border_->resolved(), 1, 0, 0, 0, Qt::FlatCap));
      painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius_ - 0.5,
                              radius_ - 0.5);
    }
  }

private:
  Theme::DynamicColor fill_;
  qreal radius_;
  std::optional<Theme::DynamicColor> border_;
};

// A sample of a map line beside its meaning.
class LegendLine : public QWidget {
public:
  LegendLine(qreal width, qreal on, qreal off) : width_(width), on_(on), off_(off) {
    setFixedSize(18, 4);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(panelkit::pen(Theme::textMuted.resolved(), width_, on_, off_));
    painter.drawLine(QPointF(1, 2), QPointF(17, 2));
  }

private:
  qreal width_, on_, off_;
};

// The "Share a port" entry: a capsule outline.
class CapsuleOutline : public panelkit::ContentButton {
protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF inner = QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75);
    painter.setPen(panelkit::pen(Theme::text.resolved(), 1.5, 0, 0, 0, Qt::FlatCap));
    painter.drawRoundedRect(inner, inner.height() / 2, inner.height() / 2);
  }
};

// The footer's key cap.
class KeyCap : public QLabel {
public:
  explicit KeyCap(const QString &text) : QLabel(text) {
    setFont(Theme::mono(11));
    setFixedHeight(20);
    setContentsMargins(6, 0, 6, 0);
    setAlignment(Qt::AlignCenter);
    panelkit::setForeground(this, Theme::text.resolved());
  }

protected:
  void paintEvent(QPaintEvent *event) override {
    {
      QPainter painter(this);
      painter.setRenderHint(QPainter::Antialiasing);
      QPainterPath shape;
      shape.addRoundedRect(QRectF(rect()), 5, 5);
      painter.fillPath(shape, Theme::tile.resolved());
    }
    QLabel::paintEvent(event);
  }
};

// A button with an optional symbol and a text, all of whose face takes the click.
panelkit::ContentButton *faceButton(const QString &symbolName, qreal symbolSize,
                                    const QString &text, const QFont &font, const QColor &colour,
                                    int height, int padding, int spacing = 5) {
  auto *button = new panelkit::ContentButton;
  panelkit::row(button, spacing, QMargins(padding, 0, padding, 0));
  if (!symbolName.isEmpty())
    button->adopt(panelkit::symbol(symbolName, symbolSize, colour));
  button->adopt(label(text, font, colour));
  button->setFixedHeight(height);
  button->setAccessibleName(text);
  return button;
}

QWidget *columnWidget(int spacing, QVBoxLayout **layout, const QMargins &margins = {}) {
  auto *widget = new QWidget;
  *layout = panelkit::column(widget, spacing, margins);
  return widget;
}

} // namespace

MapPanel::MapPanel(PanelContext context, PanelActions actions, qreal maxHeight, QWidget *parent)
    : QWidget(parent), context_(std::move(context)), actions_(std::move(actions)),
      maxHeight_(maxHeight), feedback_(*context_.manager->mainQueue()),
      body_(*this, 14, 20, QStringLiteral("mapPanelFrame")) {
  setObjectName(QStringLiteral("mapPanel"));
  setFixedWidth(PanelFrame::panelWidth);
  panelkit::column(this, 0);
  setAutoFillBackground(true);
  watch_ = new StateWatch(
      *context_.manager, context_.updates, [this] { rebuild(); }, this);
  rebuild();
  if (context_.hooks.attachPrompts)
    context_.hooks.attachPrompts(*this);
}

MapPanel::~MapPanel() = default;

std::vector<PairedPeer> MapPanel::shownMacs() const {
  const auto online = context_.onlinePairedIDs();
  auto sorted = peersByPairingDate(context_.manager->pairedPeers.get());
  std::ranges::stable_partition(
      sorted, [&](const PairedPeer &peer) { return online.contains(peer.deviceID); });
  if (sorted.size() > mapPlaces)
    sorted.resize(mapPlaces);
  return sorted;
}

std::optional<PairedPeer> MapPanel::selectedMac() const {
  const auto shown = shownMacs();
  if (shown.empty())
    return std::nullopt;
  for (const auto &peer : shown)
    if (selectedPeerID_ == peer.deviceID)
      return peer;
  return shown.front();
}

std::string MapPanel::cardSubtitle(const PairedPeer &peer) const {
  std::vector<const IncomingService *> rows;
  for (const auto &row : context_.manager->incoming.get())
    if (row.key.peerID == peer.deviceID)
      rows.push_back(&row);
  std::vector<std::string> parts;
  if (!context_.onlinePairedIDs().contains(peer.deviceID)) {
    parts.push_back("away");
  } else {
    for (const auto *row : rows)
      if (row->latencyMs) {
        parts.push_back(std::to_string(*row->latencyMs) + " ms");
        break;
      }
  }
  parts.push_back(rows.size() == 1 ? "1 port" : std::to_string(rows.size()) + " ports");
  std::string joined;
  for (const auto &part : parts)
    joined += (joined.empty() ? "" : " \u00B7 ") + part;
  return joined;
}

void MapPanel::select(const std::string &deviceID) {
  selectedPeerID_ = deviceID;
  watch_->schedule();
}

void MapPanel::setSharing(bool open) {
  sharing_ = open;
  if (!open && shareEditor_) {
    // Deleted later: the editor may be the one that asked to close.
    shareEditor_->hide();
    shareEditor_->deleteLater();
    shareEditor_ = nullptr;
  }
  watch_->schedule();
}

void MapPanel::setEditingShares(bool editing) {
  editingShares_ = editing;
  watch_->schedule();
}

void MapPanel::setShowingHelp(bool showing) {
  showingHelp_ = showing;
  watch_->schedule();
}

void MapPanel::setMaxHeight(qreal maxHeight) {
  maxHeight_ = maxHeight;
  rebuild();
}

void MapPanel::changeEvent(QEvent *event) {
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) {
    body_.invalidate();
    mapSignature_.clear();
    watch_->schedule();
  }
  QWidget::changeEvent(event);
}

void MapPanel::showEvent(QShowEvent *event) {
  // The shortcut settings may have changed while the panel was closed.
  watch_->schedule();
  QWidget::showEvent(event);
}

void MapPanel::rebuild() {
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, color(Theme::background));
  palette.setColor(QPalette::WindowText, color(Theme::text));
  setPalette(palette);
  body_.frame(maxHeight_, !sharing_);
  body_.put(PanelBody::header, headerSignature(), [this] { return header(); });
  if (!body_.put(PanelBody::middle, middleSignature(), [this] { return middle(); }))
    refreshRows();
  body_.put(PanelBody::footer, footerSignature(), [this] { return footer(); });
  revealAdded();
}

QString MapPanel::headerSignature() const {
  return panelparts::signature(
      {color(Theme::text).name(), QString::number(context_.onlinePairedIDs().empty()),
       QString::fromStdString(panelSubtitleText(context_.manager->pairedPeers.get(),
                                                context_.onlinePairedIDs(),
                                                context_.manager->networkName.get()))});
}

QString MapPanel::middleSignature() const {
  auto &manager = *context_.manager;
  QStringList parts{color(Theme::text).name(),
                    QString::number(sharing_),
                    QString::number(editingShares_),
                    QString::number(showingHelp_),
                    QString::number(context_.onlinePairedIDs().empty()),
                    QString::number(manager.pairedPeers->size())};
  const auto shown = shownMacs();
  for (const auto &peer : shown)
    parts << QString::fromStdString(peer.deviceID);
  if (const auto selected = selectedMac(); selected && !context_.onlinePairedIDs().empty()) {
    parts << QString::fromStdString(selected->deviceID + "\x1e" + selected->name)
          << QString::number(peerColorIndex(manager.pairedPeers.get(), selected->deviceID));
    for (const auto &row : manager.incoming.get())
      if (row.key.peerID == selected->deviceID)
        parts << IncomingConnectItems::copyID(row) +
                     QString::fromStdString(row.environment.value_or(""));
  }
  parts << QString::fromStdString(manager.sharingTip->value_or(""))
        << panelparts::sharingSignature(manager);
  return panelparts::signature(parts);
}

QString MapPanel::mapSignature() const {
  auto &manager = *context_.manager;
  QStringList parts{color(Theme::text).name()};
  if (const auto selected = selectedMac())
    parts << QString::fromStdString(selected->deviceID);
  const auto online = context_.onlinePairedIDs();
  for (const auto &peer : shownMacs())
    parts << QString::fromStdString(peer.deviceID + "\x1e" + peer.name)
          << QString::number(online.contains(peer.deviceID));
  // What the map draws of each port: its link, its label and whether it moves.
  for (const auto &row : manager.incoming.get())
    parts << QString::fromStdString(row.key.peerID + row.name) << QString::number(row.remotePort)
          << QString::number(static_cast<int>(row.state.which())) << QString::number(row.inUse)
          << QString::number(row.latencyMs.value_or(-1));
  return panelparts::signature(parts);
}

QString MapPanel::footerSignature() const {
  auto &manager = *context_.manager;
  const auto release = context_.updates ? context_.updates->available.get() : std::nullopt;
  return panelparts::signature(
      {color(Theme::text).name(), QString::fromStdString(manager.notice->value_or("\x1e")),
       QString::fromStdString(release ? release->version : std::string()),
       QString::number(manager.standardDefaults().boolean("globalShortcut").value_or(true)),
       QString::number(context_.shortcutIsRegistered()),
       QString::fromStdString(
           manager.standardDefaults().string("globalShortcutLabel").value_or(""))});
}

void MapPanel::refreshRows() {
  auto &manager = *context_.manager;
  for (const auto &row : manager.incoming.get())
    if (auto found = portRows_.find(IncomingConnectItems::copyID(row).toStdString());
        found != portRows_.end() && found->second)
      found->second->setRow(row);
  for (const auto &row : manager.outgoing.get())
    if (auto found = chips_.find(row.service.id); found != chips_.end() && found->second)
      found->second->setRow(row);
  if (const auto selected = selectedMac(); selected && cardSubtitle_)
    cardSubtitle_->setText(QString::fromStdString(cardSubtitle(*selected)));
  if (map_ && mapSignature() != mapSignature_)
    map_ = PanelFrame::replace(map_, map());
}

void MapPanel::revealAdded() {
  // The editor hides the chips: what was there before it opened is what the user has seen.
  if (sharing_)
    return;
  std::set<std::string> now;
  for (const auto &[id, chip] : chips_)
    if (chip)
      now.insert(id);
  for (const auto &[id, head] : environmentHeads_)
    if (head)
      now.insert(id);
  if (seen_)
    for (const auto &id : now)
      if (!seen_->contains(id)) {
        const auto chip = chips_.find(id);
        body_.scrollIntoView(chip != chips_.end() ? static_cast<QWidget *>(chip->second)
                                                  : environmentHeads_[id].data());
        break;
      }
  seen_ = std::move(now);
}

QWidget *MapPanel::header() {
  auto *widget = new QWidget;
  auto *line = panelkit::row(widget, 12);
  line->setAlignment(Qt::AlignTop);
  QVBoxLayout *titles;
  auto *left = columnWidget(4, &titles);
  auto *title =
      label(QStringLiteral("Corvane"), Theme::display(22, QFont::Bold), color(Theme::text));
  titles->addWidget(title);
  auto *status = new QWidget;
  auto *statusLine = panelkit::row(status, 6);
  const auto online = context_.onlinePairedIDs();
  statusLine->addWidget(panelkit::dot(online.empty() ? color(Theme::accent) : color(Theme::ok), 7),
                        0, Qt::AlignVCenter);
  auto *subtitle = new ElidingLabel(QString::fromStdString(panelSubtitleText(
      context_.manager->pairedPeers.get(), online, context_.manager->networkName.get())));
  subtitle->setObjectName(QStringLiteral("panelSubtitle"));
  subtitle->setFont(Theme::system(12.5));
  panelkit::setForeground(subtitle, color(Theme::textMuted));
  statusLine->addWidget(subtitle, 1);
  titles->addWidget(status);
  line->addWidget(left, 1, Qt::AlignTop);

  auto *badge = new RoundedBox(Theme::ink, 8);
  auto *badgeLine = panelkit::row(badge, 6, QMargins(11, 0, 11, 0));
  badgeLine->addWidget(panelkit::symbol(QStringLiteral("lock.fill"), 10, color(Theme::onInk)));
  badgeLine->addWidget(
      label(QStringLiteral("Encrypted"), Theme::system(12, QFont::DemiBold), color(Theme::onInk)));
  badge->setFixedHeight(28);
  badge->setToolTip(QStringLiteral("Everything between paired Macs is encrypted"));
  line->addWidget(badge, 0, Qt::AlignTop);
  return widget;
}

QWidget *MapPanel::middle() {
  QVBoxLayout *stack;
  auto *widget = columnWidget(14, &stack);
  if (!sharing_)
    stack->addWidget(macsSection());
  stack->addWidget(sharesSection());
  stack->addStretch(1);
  return widget;
}

QWidget *MapPanel::macsSection() {
  return context_.onlinePairedIDs().empty() ? emptyState() : mapAndCard();
}

QWidget *MapPanel::emptyState() {
  QVBoxLayout *stack;
  auto *widget = columnWidget(12, &stack);
  widget->setObjectName(QStringLiteral("emptyState"));
  stack->setAlignment(Qt::AlignHCenter);
  stack->addWidget(new SearchingWell(context_.reduceMotion, context_.now), 0, Qt::AlignHCenter);
  const bool none = context_.manager->pairedPeers->empty();
  QVBoxLayout *texts;
  auto *words = columnWidget(6, &texts, QMargins(8, 0, 8, 0));
  auto *title =
      label(none ? QStringLiteral("No Macs paired yet") : QStringLiteral("No paired Macs nearby"),
            Theme::system(16, QFont::DemiBold), color(Theme::text));
  title->setObjectName(QStringLiteral("emptyTitle"));
  title->setAlignment(Qt::AlignHCenter);
  texts->addWidget(title);
  auto *body = label(
      none ? QStringLiteral("Pair another Mac by comparing a 6-digit code on both screens. Its "
                            "shared ports then appear here as localhost addresses.")
           : QStringLiteral("Macs you've paired show up here on their own when they're awake and "
                            "on the same network."),
      Theme::system(13), color(Theme::textMuted), 4);
  body->setAlignment(Qt::AlignHCenter);
  texts->addWidget(body);
  stack->addWidget(words);

  auto *pair = new QPushButton(QStringLiteral("Pair a Mac"));
  pair->setObjectName(QStringLiteral("pairButton"));
  InkButtonStyle::apply(pair, 44, QStringLiteral("plus"), 12, 8);
  connect(pair, &QAbstractButton::clicked, this, [this] {
    if (actions_.pair)
      actions_.pair();
  });
  stack->addWidget(pair);

  auto *help = panelkit::textButton(showingHelp_ ? QStringLiteral("Hide")
                                                 : QStringLiteral("Why can't I see someone?"),
                                    Theme::system(12.5, QFont::Medium), color(Theme::text), 0, 44);
  help->setObjectName(QStringLiteral("helpButton"));
  connect(help, &QAbstractButton::clicked, this, [this] { setShowingHelp(!showingHelp_); });
  stack->addWidget(help, 0, Qt::AlignHCenter);

  if (showingHelp_) {
    auto *box = new RoundedBox(Theme::surface, 12);
    box->setObjectName(QStringLiteral("helpBox"));
    auto *reasons = panelkit::column(box, 6, QMargins(12, 12, 12, 12));
    for (const char *reason :
         {"Both Macs are on the same Wi-Fi or wired network.",
          "Corvane is running on the other Mac, and you've paired with it.",
          "avahi-daemon runs on both Macs, and no firewall blocks Corvane.",
          "Guest and some office networks block Macs from seeing each other."}) {
      auto *line = new QWidget;
      auto *lineLayout = panelkit::row(line, 6);
      auto *bullet = label(QStringLiteral("\u2022"), Theme::system(12), color(Theme::textMuted));
      lineLayout->addWidget(bullet, 0, Qt::AlignTop);
      lineLayout->addWidget(
          label(QString::fromUtf8(reason), Theme::system(12), color(Theme::textMuted), 3), 1);
      reasons->addWidget(line);
    }
    stack->addWidget(box);
  }
  return widget;
}

QWidget *MapPanel::map() {
  const auto selected = selectedMac();
  auto *made = new MacMap(
      *context_.manager, context_.reduceMotion, shownMacs(),
      selected ? std::optional(selected->deviceID) : std::nullopt,
      [this](const std::string &id) { select(id); },
      [this] {
        if (actions_.pair)
          actions_.pair();
      },
      context_.now);
  made->setObjectName(QStringLiteral("macMap"));
  mapSignature_ = mapSignature();
  return made;
}

QWidget *MapPanel::mapAndCard() {
  QVBoxLayout *stack;
  auto *widget = columnWidget(8, &stack);
  const auto shown = shownMacs();
  const auto selected = selectedMac();
  map_ = map();
  stack->addWidget(map_, 0, Qt::AlignHCenter);

  auto *caption = new QWidget;
  auto *captionLine = panelkit::row(caption, 10);
  const QFont small = Theme::system(11.5);
  for (auto [width, on, off, word] :
       {std::tuple{2.5, 4.0, 3.0, "Moving = in use"}, std::tuple{2.0, 1.0, 4.0, "Idle"}}) {
    auto *entry = new QWidget;
    auto *entryLine = panelkit::row(entry, 5);
    entryLine->addWidget(new LegendLine(width, on, off));
    entryLine->addWidget(label(QString::fromUtf8(word), small, color(Theme::textMuted)));
    captionLine->addWidget(entry);
  }
  captionLine->addStretch(1);
  const std::size_t paired = context_.manager->pairedPeers->size();
  auto *hint = label(shown.size() < paired ? QString::number(paired - shown.size()) +
                                                 QStringLiteral(" more in Settings")
                                           : QStringLiteral("Tap a Mac for its ports"),
                     small, color(Theme::textMuted));
  hint->setObjectName(QStringLiteral("mapHint"));
  captionLine->addWidget(hint);
  stack->addWidget(caption);
  if (selected)
    stack->addWidget(card(*selected));
  return widget;
}

QWidget *MapPanel::card(const PairedPeer &peer) {
  auto *box = new RoundedBox(Theme::field, 16, Theme::line);
  box->setObjectName(QStringLiteral("macCard"));
  auto *shadow = new QGraphicsDropShadowEffect(box);
  shadow->setColor(QColor(0, 0, 0, 31));
  shadow->setBlurRadius(18);
  shadow->setOffset(0, 4);
  box->setGraphicsEffect(shadow);
  auto *stack = panelkit::column(box, 0);

  auto *head = new QWidget;
  auto *headLine = panelkit::row(head, 8, QMargins(16, 14, 16, 14));
  headLine->addWidget(panelkit::dot(
      Theme::macColor(peerColorIndex(context_.manager->pairedPeers.get(), peer.deviceID)).fill,
      10));
  auto *name = label(QString::fromStdString(peer.name), Theme::system(15, QFont::DemiBold),
                     color(Theme::text));
  name->setObjectName(QStringLiteral("cardName"));
  headLine->addWidget(name);
  const QString subtitleText = QString::fromStdString(cardSubtitle(peer));
  auto *subtitle = label(subtitleText, Theme::mono(11.5), color(Theme::textMuted));
  subtitle->setObjectName(QStringLiteral("cardSubtitle"));
  cardSubtitle_ = subtitle;
  headLine->addWidget(subtitle);
  headLine->addStretch(1);
  head->setAccessibleName(QString::fromStdString(peer.name) + QStringLiteral(", ") + subtitleText);
  stack->addWidget(head);
  stack->addWidget(panelkit::separator(color(Theme::control)));

  std::vector<IncomingService> rows;
  for (const auto &row : context_.manager->incoming.get())
    if (row.key.peerID == peer.deviceID)
      rows.push_back(row);
  if (rows.empty()) {
    auto *none = label(QStringLiteral("This Mac isn't sharing any ports yet."), Theme::system(12.5),
                       color(Theme::textMuted));
    none->setObjectName(QStringLiteral("cardEmpty"));
    none->setContentsMargins(16, 16, 16, 16);
    stack->addWidget(none);
    return box;
  }

  auto *content = new QWidget;
  auto *list = panelkit::column(content, 0);
  const auto groups = ServiceManager::groupIncomingByEnvironment(rows);
  const bool headed =
      std::ranges::any_of(groups, [](const auto &g) { return g.environment.has_value(); });
  for (std::size_t index = 0; index < groups.size(); ++index) {
    const auto &group = groups[index];
    if (headed) {
      if (index > 0)
        list->addWidget(panelkit::separator(color(Theme::control)));
      auto *groupHead = new QWidget;
      auto *groupLine = panelkit::row(groupHead, 6, QMargins(16, 8, 16, 8));
      groupLine->addWidget(
          panelkit::symbol(QStringLiteral("square.stack.3d.up"), 11, color(Theme::text)));
      groupLine->addWidget(label(group.environment ? QString::fromStdString(*group.environment)
                                                   : QStringLiteral("Other ports"),
                                 Theme::system(11.5, QFont::DemiBold), color(Theme::text)));
      groupLine->addStretch(1);
      list->addWidget(groupHead);
    }
    for (std::size_t at = 0; at < group.rows.size(); ++at) {
      if (at > 0)
        list->addWidget(panelkit::separator(color(Theme::control)));
      list->addWidget(portRow(group.rows[at]));
    }
  }
  content->setObjectName(QStringLiteral("cardRows"));
  stack->addWidget(content);
  return box;
}

PortRow *MapPanel::portRow(const IncomingService &row) {
  auto &kept = portRows_[IncomingConnectItems::copyID(row).toStdString()];
  if (kept)
    kept->setRow(row);
  else
    kept = new PortRow(context_, row, feedback_);
  return kept;
}

QWidget *MapPanel::pausedBanner() {
  auto &manager = *context_.manager;
  const auto sentence =
      sharingStatusText(manager.sharingState.get(), manager.locationPermission.get());
  if (!sentence)
    return nullptr;
  auto *banner = new RoundedBox(Theme::surface, 12);
  banner->setObjectName(QStringLiteral("pausedBanner"));
  auto *line = panelkit::row(banner, 8, QMargins(12, 10, 12, 10));
  line->addWidget(panelkit::symbol(QStringLiteral("pause.circle.fill"), 15, color(Theme::accent)),
                  0, Qt::AlignVCenter);
  auto *text = label(QString::fromStdString(*sentence), Theme::system(12), color(Theme::text), 3);
  text->setObjectName(QStringLiteral("pausedSentence"));
  line->addWidget(text, 1);
  auto button = [&](const QString &title, std::function<void()> action) {
    auto *made = new QPushButton(title);
    InkButtonStyle::apply(made, 32);
    connect(made, &QAbstractButton::clicked, this, std::move(action));
    line->addWidget(made, 0, Qt::AlignVCenter);
    return made;
  };
  ServiceManager *m = &manager;
  const SharingState state = manager.sharingState.get();
  if (state.which == SharingState::Case::pausedByYou)
    button(QStringLiteral("Resume"), [m] {
      m->setSharingPaused(false);
    })->setObjectName(QStringLiteral("resumeButton"));
  else if (state.which == SharingState::Case::offTrustedNetworks && state.wifiName)
    button(QStringLiteral("Trust ") + QString::fromStdString(*state.wifiName),
           [m, name = *state.wifiName] { m->trustNetwork(name); })
        ->setObjectName(QStringLiteral("trustButton"));
  if (auto title = networkPermissionActionTitle(state, manager.locationPermission.get()))
    button(QString::fromStdString(*title), [m] {
      m->requestLocationPermission();
    })->setObjectName(QStringLiteral("permissionButton"));
  return banner;
}

QWidget *MapPanel::sharesSection() {
  QVBoxLayout *stack;
  auto *widget = columnWidget(8, &stack);
  widget->setObjectName(QStringLiteral("youShare"));
  auto &manager = *context_.manager;
  if (sharing_) {
    auto *box = new RoundedBox(Theme::surface, 12);
    auto *inside = panelkit::column(box, 0, QMargins(12, 12, 12, 12));
    if (!shareEditor_ && context_.hooks.shareEditor)
      shareEditor_ = context_.hooks.shareEditor([this] { setSharing(false); });
    if (shareEditor_)
      inside->addWidget(shareEditor_);
    stack->addWidget(box);
    return widget;
  }

  auto *head = new QWidget;
  auto *headLine = panelkit::row(head, 8);
  headLine->addWidget(
      label(QStringLiteral("You share"), Theme::system(13, QFont::DemiBold), color(Theme::text)), 0,
      Qt::AlignBaseline);
  headLine->addWidget(label(editingShares_ ? QStringLiteral("Tap a port for its options")
                                           : QStringLiteral("Tap to pause or resume"),
                            Theme::system(11.5), color(Theme::textMuted), 2),
                      1, Qt::AlignBaseline);
  const QFont linkFont = Theme::system(12, QFont::DemiBold);
  if (!editingShares_) {
    auto *pauseAll =
        panelkit::textButton(QStringLiteral("Pause all"), linkFont, color(Theme::text), 36, 28);
    pauseAll->setObjectName(QStringLiteral("pauseAllButton"));
    connect(pauseAll, &QAbstractButton::clicked, this,
            [m = &manager] { m->setSharingPaused(true); });
    headLine->addWidget(pauseAll);
  }
  auto *edit =
      panelkit::textButton(editingShares_ ? QStringLiteral("Done") : QStringLiteral("Edit"),
                           linkFont, color(Theme::text), 36, 28);
  edit->setObjectName(QStringLiteral("editButton"));
  connect(edit, &QAbstractButton::clicked, this, [this] { setEditingShares(!editingShares_); });
  headLine->addWidget(edit);
  stack->addWidget(head);

  if (const auto &tip = manager.sharingTip.get()) {
    auto *box = new RoundedBox(Theme::control, 12);
    box->setObjectName(QStringLiteral("sharingTip"));
    auto *line = panelkit::row(box, 8, QMargins(12, 10, 4, 0));
    line->setAlignment(Qt::AlignTop);
    line->addWidget(
        label(QString::fromStdString(*tip), Theme::system(12), color(Theme::textMuted), 4), 1,
        Qt::AlignTop);
    auto *gotIt =
        panelkit::textButton(QStringLiteral("Got it"), linkFont, color(Theme::text), 44, 44);
    gotIt->setObjectName(QStringLiteral("gotItButton"));
    connect(gotIt, &QAbstractButton::clicked, this,
            [m = &manager] { m->sharingTip.set(std::nullopt); });
    line->addWidget(gotIt, 0, Qt::AlignTop);
    stack->addWidget(box);
  }

  if (QWidget *banner = pausedBanner())
    stack->addWidget(banner);

  for (const auto &group :
       groupSharesByEnvironment(manager.preferences.get(), manager.outgoing.get())) {
    if (group.environment) {
      const ShareEnvironment environment = *group.environment;
      const bool allOn = panelparts::allEnabled(group.rows);
      const QString name = QString::fromStdString(environment.name);
      auto *envHead = new QWidget;
      envHead->setObjectName(QStringLiteral("environmentHeader"));
      environmentHeads_[environment.id] = envHead;
      auto *envLine = panelkit::row(envHead, 6);
      envLine->addWidget(
          panelkit::symbol(QStringLiteral("square.stack.3d.up"), 11, color(Theme::text)));
      envLine->addWidget(label(name, Theme::system(12.5, QFont::DemiBold), color(Theme::text)));
      auto *toggle =
          panelkit::textButton(allOn ? QStringLiteral("Pause") : QStringLiteral("Resume"), linkFont,
                               color(Theme::text), 36, 28);
      toggle->setObjectName(QStringLiteral("environmentToggle"));
      auto *more = new panelkit::SymbolButton(QStringLiteral("ellipsis.circle"), 14,
                                              color(Theme::text), QSize(28, 28));
      more->setObjectName(QStringLiteral("environmentMenuButton"));
      panelparts::wireEnvironmentButtons(*toggle, *more, *this, context_, environment, allOn);
      envLine->addWidget(toggle);
      envLine->addWidget(more);
      envLine->addStretch(1);
      stack->addWidget(envHead);
    }
    if (group.rows.empty())
      continue;
    auto *chips = new QWidget;
    auto *flow = new FlowLayout(8, chips);
    flow->setContentsMargins(0, group.environment ? 2 : 0, 0, 0);
    for (const auto &row : group.rows) {
      auto &kept = chips_[row.service.id];
      if (kept && kept->editing() == editingShares_)
        kept->setRow(row);
      else
        kept = new ShareChip(context_, row, editingShares_);
      flow->addWidget(kept);
    }
    stack->addWidget(chips);
  }

  if (!editingShares_) {
    auto *add = new CapsuleOutline;
    add->setObjectName(QStringLiteral("shareAPortButton"));
    panelkit::row(add, 6, QMargins(14, 0, 14, 0));
    add->adopt(panelkit::symbol(QStringLiteral("plus"), 11, color(Theme::text)));
    add->adopt(label(QStringLiteral("Share a port"), Theme::system(13, QFont::DemiBold),
                     color(Theme::text)));
    add->setAccessibleName(QStringLiteral("Share a port"));
    add->setFixedHeight(44);
    connect(add, &QAbstractButton::clicked, this, [this] { setSharing(true); });
    stack->addWidget(add, 0, Qt::AlignLeft);
  }
  return widget;
}

QWidget *MapPanel::footer() {
  QVBoxLayout *stack;
  auto *widget = columnWidget(4, &stack);
  stack->addWidget(panelkit::separator(color(Theme::line)));
  auto *line = new QWidget;
  auto *row = panelkit::row(line, 4);
  auto &manager = *context_.manager;
  const auto release = context_.updates ? context_.updates->available.get() : std::nullopt;
  if (const auto &notice = manager.notice.get()) {
    auto *button = new panelkit::ContentButton;
    button->setObjectName(QStringLiteral("noticeButton"));
    panelkit::column(button, 0);
    auto *text =
        label(QString::fromStdString(*notice), Theme::system(11.5), color(Theme::accent), 3);
    button->adopt(text);
    button->setToolTip(QStringLiteral("Click to dismiss"));
    button->setAccessibleName(QString::fromStdString(*notice));
    button->setAccessibleDescription(QStringLiteral("Dismisses this message"));
    connect(button, &QAbstractButton::clicked, this, [m = &manager] {
      m->setNotice(std::nullopt);
      m->scheduleNoticeClear();
    });
    row->addWidget(button, 1);
  } else if (release) {
    const QString version = QString::fromStdString(release->version);
    QFont font = Theme::system(12.5, QFont::DemiBold);
    font.setUnderline(true);
    auto *button =
        faceButton(QStringLiteral("arrow.down.circle"), 13, QStringLiteral("Update to ") + version,
                   font, color(Theme::text), 44, 0);
    button->setObjectName(QStringLiteral("updateButton"));
    button->setToolTip(QStringLiteral("Download Corvane ") + version);
    button->setAccessibleName(QStringLiteral("Download Corvane ") + version);
    connect(button, &QAbstractButton::clicked, this, [u = context_.updates] { u->openDownload(); });
    row->addWidget(button);
    row->addStretch(1);
  } else if (manager.standardDefaults().boolean("globalShortcut").value_or(true) &&
             context_.shortcutIsRegistered()) {
    auto *hint = new QWidget;
    hint->setObjectName(QStringLiteral("shortcutHint"));
    auto *hintLine = panelkit::row(hint, 6);
    hintLine->addWidget(
        label(QStringLiteral("Open with"), Theme::system(11.5), color(Theme::textMuted)));
    hintLine->addWidget(
        new KeyCap(QString::fromStdString(GlobalHotkey::shownLabel(manager.standardDefaults()))));
    row->addWidget(hint);
    row->addStretch(1);
  } else {
    row->addStretch(1);
  }
  auto *settings = faceButton(QStringLiteral("gearshape"), 13, QStringLiteral("Settings"),
                              Theme::system(13, QFont::DemiBold), color(Theme::text), 44, 10);
  settings->setObjectName(QStringLiteral("settingsButton"));
  connect(settings, &QAbstractButton::clicked, this, [this] {
    if (actions_.settings)
      actions_.settings();
  });
  row->addWidget(settings);
  auto *quit = faceButton({}, 0, QStringLiteral("Quit"), Theme::system(13, QFont::Medium),
                          color(Theme::textMuted), 44, 10);
  quit->setObjectName(QStringLiteral("quitButton"));
  connect(quit, &QAbstractButton::clicked, this, [this] {
    if (actions_.quit)
      actions_.quit();
  });
  row->addWidget(quit);
  stack->addWidget(line);
  return widget;
}

} // namespace corvane
