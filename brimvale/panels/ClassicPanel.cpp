#include "brimvale/panels/ClassicPanel.h"

#include "brimvale/catalogue/IncomingProblemText.h"
#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/manager/SharingState.h"
#include "brimvale/panels/PanelParts.h"
#include "brimvale/panels/StateWatch.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/PanelFrame.h"
#include "brimvale/shell/ShareGroups.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/Theme.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace corvane {

namespace {

using Case = IncomingService::State::Case;
using panelkit::label;

// The desktop's own look: its palette and its fonts at the usual text sizes.
QColor primary() {
  return QApplication::palette().color(QPalette::WindowText);
}
QColor secondary() {
  return panelkit::faded(primary(), 0.6);
}
QColor orange() {
  return QColor(0xE0, 0x7A, 0x1F);
}
QColor green() {
  return QColor(0x2E, 0xA0, 0x43);
}
QColor accent() {
  return QApplication::palette().color(QPalette::Highlight);
}
QColor separatorColor() {
  return panelkit::faded(primary(), 0.15);
}
QFont sized(qreal size, QFont::Weight weight = QFont::Normal) {
  return Theme::system(size, weight);
}
QFont headline() {
  return sized(13, QFont::Bold);
}
QFont caption() {
  return sized(10.5);
}
QFont callout() {
  return sized(12);
}
QFont body() {
  return sized(13);
}
QFont monoCaption() {
  return Theme::mono(11);
}

QPushButton *link(const QString &text, const QFont &font = caption()) {
  auto *button = new QPushButton(text);
  button->setFlat(true);
  button->setFont(font);
  button->setCursor(Qt::PointingHandCursor);
  button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0 2px; "
                                       "background: transparent; color: %1; }")
                            .arg(accent().name()));
  return button;
}

QPushButton *plain(const QString &text) {
  auto *button = new QPushButton(text);
  button->setFlat(true);
  button->setFont(body());
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

// The card around a Mac's ports or an environment's shares.
class Card : public QWidget {
protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF inner = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(panelkit::pen(separatorColor(), 1, 0, 0, 0, Qt::FlatCap));
    painter.setBrush(QApplication::palette().color(QPalette::Base));
    painter.drawRoundedRect(inner, 9, 9);
  }
};

// A small on/off switch.
class MiniSwitch : public QAbstractButton {
public:
  explicit MiniSwitch(bool on) {
    setCheckable(true);
    setChecked(on);
    setFixedSize(26, 15);
    setCursor(Qt::PointingHandCursor);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? accent() : panelkit::faded(primary(), 0.25));
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const qreal knob = track.height() - 3;
    const qreal x = isChecked() ? track.right() - 1.5 - knob : track.left() + 1.5;
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 1.5, knob, knob));
  }
};

void onClick(QAbstractButton *button, QObject *context, std::function<void()> action) {
  QObject::connect(button, &QAbstractButton::clicked, context, std::move(action));
}

} // namespace

ClassicIncomingRow::ClassicIncomingRow(const PanelContext &context, IncomingService row,
                                       CopyFeedback &feedback, QWidget *parent)
    : QAbstractButton(parent), context_(context), row_(std::move(row)), feedback_(feedback) {
  setObjectName(QStringLiteral("classicIncomingRow"));
  setAccessibleDescription(QStringLiteral("Copies the address"));
  setCursor(Qt::PointingHandCursor);
  // A button would keep its natural width; the row gives way to the panel's and wraps its notes.
  setSizePolicy(QSizePolicy::Preferred, sizePolicy().verticalPolicy());
  onClick(this, this, [this] {
    // Without an address that answers there is nothing to copy.
    if (auto text = address())
      feedback_.copyWithFeedback(*text, IncomingConnectItems::copyID(row_));
  });
  build();
}

QColor ClassicIncomingRow::dotColor(const IncomingService &row) {
  if (incomingProblemText(row))
    return orange();
  // Only a connected port answers at its address.
  if (row.state.which() != Case::connected)
    return panelkit::faded(secondary(), 0.4);
  return green();
}

QString ClassicIncomingRow::look() const {
  return QStringList{QString::fromStdString(row_.name),
                     dotColor(row_).name(QColor::HexArgb),
                     QString::fromStdString(incomingProblemText(row_).value_or("")),
                     QString::fromStdString(row_.hints ? row_.hints->note.value_or("") : ""),
                     QString::fromStdString(reachabilityText(row_)),
                     address().value_or(QString())}
      .join(QChar(0x1f));
}

void ClassicIncomingRow::setRow(IncomingService row) {
  panelparts::updateRow(
      *this, row_, std::move(row), [this] { return look(); }, [this] { build(); });
}

void ClassicIncomingRow::build() {
  setAccessibleName(QString::fromStdString(incomingAccessibilityLabel(row_)));
  auto *line = panelkit::row(this, 9, QMargins(11, 9, 11, 9));
  const auto problem = incomingProblemText(row_);
  line->addWidget(panelkit::dot(dotColor(row_), 8), 0, Qt::AlignVCenter);
  auto *texts = new QWidget;
  auto *stack = panelkit::column(texts, 2);
  stack->addWidget(label(QString::fromStdString(row_.name), body(), primary()));
  if (problem)
    stack->addWidget(label(QString::fromStdString(*problem), caption(), orange(), 3));
  if (row_.hints && row_.hints->note)
    stack->addWidget(label(QString::fromStdString(*row_.hints->note), caption(), secondary(), 2));
  line->addWidget(texts, 1);
  if (const auto text = address(); !text) {
    auto *reach = label(QString::fromStdString(reachabilityText(row_)), caption(), secondary());
    reach->setObjectName(QStringLiteral("rowReach"));
    line->addWidget(reach);
  } else {
    line->addWidget(label(*text, monoCaption(), secondary()));
    const bool copied = feedback_.copiedID() == IncomingConnectItems::copyID(row_);
    auto *mark = label(copied ? QStringLiteral("Copied") : QStringLiteral("Copy"), caption(),
                       copied ? green() : accent());
    mark->setObjectName(QStringLiteral("copyMark"));
    mark->setFixedWidth(44);
    mark->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    line->addWidget(mark);
    connect(&feedback_, &CopyFeedback::copiedIDChanged, mark, [this, mark] {
      const bool now = feedback_.copiedID() == IncomingConnectItems::copyID(row_);
      mark->setText(now ? QStringLiteral("Copied") : QStringLiteral("Copy"));
      panelkit::setForeground(mark, now ? green() : accent());
    });
  }
  for (QWidget *child : findChildren<QWidget *>())
    child->setAttribute(Qt::WA_TransparentForMouseEvents);
}

std::optional<QString> ClassicIncomingRow::address() const {
  if (row_.state.which() != Case::connected || !row_.localPort)
    return std::nullopt;
  return QStringLiteral("localhost:") + QString::number(*row_.localPort);
}

QMenu *ClassicIncomingRow::buildContextMenu() {
  auto *menu = new QMenu(this);
  IncomingConnectItems(row_, feedback_, *context_.manager, *context_.opener,
                       context_.explanationIsAvailable(), context_.openWindow)
      .addTo(*menu);
  const bool off = row_.state.which() == Case::off;
  menu->addAction(off ? QStringLiteral("Turn on") : QStringLiteral("Turn off"), menu,
                  [m = context_.manager, key = row_.key, off] {
                    m->setIncomingEnabled(key.peerID, key.serviceID, off);
                  });
  return menu;
}

void ClassicIncomingRow::paintEvent(QPaintEvent *) {
  if (!isDown())
    return;
  QPainter painter(this);
  painter.fillRect(rect(), panelkit::faded(primary(), 0.06));
}

void ClassicIncomingRow::contextMenuEvent(QContextMenuEvent *event) {
  QMenu *menu = buildContextMenu();
  QObject::connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
  menu->popup(event->globalPos());
  event->accept();
}

ClassicShareRow::ClassicShareRow(const PanelContext &context, OutgoingService row, QWidget *parent)
    : QWidget(parent), context_(context), row_(std::move(row)) {
  setObjectName(QStringLiteral("classicShareRow"));
  auto *line = panelkit::row(this, 9, QMargins(11, 7, 11, 7));
  auto *texts = new QWidget;
  auto *stack = panelkit::column(texts, 2);
  name_ = new QLabel;
  name_->setTextFormat(Qt::RichText);
  name_->setFont(body());
  stack->addWidget(name_);
  access_ = label({}, caption(), secondary());
  access_->setObjectName(QStringLiteral("shareAccess"));
  // The access line counts the minutes down by itself.
  auto *timer = new QTimer(access_);
  timer->setInterval(60 * 1000);
  connect(timer, &QTimer::timeout, access_, [this] { showAccess(); });
  timer->start();
  stack->addWidget(access_);
  line->addWidget(texts, 1);

  status_ = label({}, caption(), secondary());
  status_->setObjectName(QStringLiteral("shareStatus"));
  line->addWidget(status_);
  toggle_ = new MiniSwitch(row_.service.enabled);
  toggle_->setObjectName(QStringLiteral("shareSwitch"));
  // Only the user's clicks change the share; a republish only moves the knob.
  connect(toggle_, &QAbstractButton::clicked, this,
          [this](bool on) { context_.manager->setShareEnabled(row_.service.id, on); });
  line->addWidget(toggle_);
  more_ =
      new panelkit::SymbolButton(QStringLiteral("ellipsis.circle"), 14, secondary(), QSize(22, 22));
  more_->setObjectName(QStringLiteral("shareMenuButton"));
  connect(more_, &QAbstractButton::clicked, this, [this] {
    if (context_.hooks.shareMenu)
      panelkit::popUp(context_.hooks.shareMenu(row_), more_);
  });
  line->addWidget(more_);
  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
    if (!context_.hooks.shareMenu)
      return;
    if (QMenu *menu = context_.hooks.shareMenu(row_)) {
      QObject::connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
      menu->popup(mapToGlobal(at));
    }
  });
  showRow();
}

void ClassicShareRow::setRow(OutgoingService row) {
  if (row == row_)
    return;
  row_ = std::move(row);
  showRow();
}

void ClassicShareRow::showRow() {
  const QString name = QString::fromStdString(row_.service.name);
  name_->setText(
      name.toHtmlEscaped() +
      QStringLiteral("<span style=\"font-family:'%1'; font-size:11px; color:%2\">:%3</span>")
          .arg(monoCaption().family(), secondary().name(QColor::HexArgb))
          .arg(row_.service.port));
  showAccess();
  const std::string status = shareStatusText(row_);
  status_->setText(QString::fromStdString(status.empty() ? "ready" : status));
  toggle_->setChecked(row_.service.enabled);
  toggle_->setAccessibleName(QStringLiteral("Share ") + name);
  more_->setAccessibleName(QStringLiteral("Options for ") + name);
}

void ClassicShareRow::showAccess() {
  const QString text = QString::fromStdString(
      shareAccessText(row_.service, context_.date(), context_.manager->pairedPeers.get()));
  access_->setText(text);
  access_->setVisible(!text.isEmpty());
}

ClassicPanel::ClassicPanel(PanelContext context, PanelActions actions, qreal maxHeight,
                           QWidget *parent)
    : QWidget(parent), context_(std::move(context)), actions_(std::move(actions)),
      maxHeight_(maxHeight), feedback_(*context_.manager->mainQueue()),
      body_(*this, 12, 14, QStringLiteral("classicPanelFrame")) {
  setObjectName(QStringLiteral("classicPanel"));
  setFixedWidth(PanelFrame::panelWidth);
  panelkit::column(this, 0);
  watch_ = new StateWatch(
      *context_.manager, context_.updates, [this] { rebuild(); }, this);
  rebuild();
  if (context_.hooks.attachPrompts)
    context_.hooks.attachPrompts(*this);
}

ClassicPanel::~ClassicPanel() = default;

std::string ClassicPanel::latencyLabel(const std::string &deviceID) const {
  for (const auto &row : context_.manager->incoming.get())
    if (row.key.peerID == deviceID && row.latencyMs)
      return std::to_string(*row.latencyMs) + " ms";
  return "Nearby";
}

void ClassicPanel::setSharing(bool open) {
  sharing_ = open;
  if (!open && shareEditor_) {
    // Deleted later: the editor may be the one that asked to close.
    shareEditor_->hide();
    shareEditor_->deleteLater();
    shareEditor_ = nullptr;
  }
  watch_->schedule();
}

void ClassicPanel::setMaxHeight(qreal maxHeight) {
  maxHeight_ = maxHeight;
  rebuild();
}

void ClassicPanel::changeEvent(QEvent *event) {
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) {
    body_.invalidate();
    watch_->schedule();
  }
  QWidget::changeEvent(event);
}

void ClassicPanel::rebuild() {
  auto &manager = *context_.manager;
  body_.frame(maxHeight_, !sharing_);
  body_.put(PanelBody::header,
            panelparts::signature(
                {primary().name(), QString::fromStdString(pairedSummaryText(
                                       manager.pairedPeers.get(), context_.onlinePairedIDs()))}),
            [this] { return header(); });
  if (!body_.put(PanelBody::middle, middleSignature(), [this] { return middle(); }))
    refreshRows();
  body_.put(PanelBody::footer, footerSignature(), [this] { return footer(); });
}

QString ClassicPanel::middleSignature() const {
  auto &manager = *context_.manager;
  QStringList parts{primary().name(), QString::number(sharing_)};
  const auto online = context_.onlinePairedIDs();
  for (const auto &group :
       incomingGroupedByPeer(manager.pairedPeers.get(), manager.incoming.get())) {
    parts << QString::fromStdString(group.peer.deviceID + "\x1e" + group.peer.name)
          << QString::number(online.contains(group.peer.deviceID));
    for (const auto &row : group.rows)
      parts << IncomingConnectItems::copyID(row) +
                   QString::fromStdString(row.environment.value_or(""));
  }
  parts << panelparts::sharingSignature(manager);
  return panelparts::signature(parts);
}

QString ClassicPanel::footerSignature() const {
  auto &manager = *context_.manager;
  const auto release = context_.updates ? context_.updates->available.get() : std::nullopt;
  return panelparts::signature({primary().name(),
                                QString::fromStdString(manager.notice->value_or("\x1e")),
                                QString::fromStdString(manager.sharingTip->value_or("\x1e")),
                                QString::fromStdString(release ? release->version : "")});
}

void ClassicPanel::refreshRows() {
  auto &manager = *context_.manager;
  for (const auto &row : manager.incoming.get())
    if (auto found = incomingRows_.find(IncomingConnectItems::copyID(row).toStdString());
        found != incomingRows_.end() && found->second)
      found->second->setRow(row);
  for (const auto &row : manager.outgoing.get())
    if (auto found = shareRows_.find(row.service.id); found != shareRows_.end() && found->second)
      found->second->setRow(row);
  for (const auto &[id, reach] : reaches_)
    if (reach && context_.onlinePairedIDs().contains(id))
      reach->setText(QString::fromStdString(latencyLabel(id)));
}

ClassicIncomingRow *ClassicPanel::incomingRow(const IncomingService &row) {
  auto &kept = incomingRows_[IncomingConnectItems::copyID(row).toStdString()];
  if (kept)
    kept->setRow(row);
  else
    kept = new ClassicIncomingRow(context_, row, feedback_);
  return kept;
}

ClassicShareRow *ClassicPanel::keptShareRow(const OutgoingService &row) {
  auto &kept = shareRows_[row.service.id];
  if (kept)
    kept->setRow(row);
  else
    kept = new ClassicShareRow(context_, row);
  return kept;
}

QWidget *ClassicPanel::header() {
  auto *widget = new QWidget;
  auto *stack = panelkit::column(widget, 2);
  stack->addWidget(label(QStringLiteral("Corvane"), headline(), primary()));
  auto *summary = label(QString::fromStdString(pairedSummaryText(
                            context_.manager->pairedPeers.get(), context_.onlinePairedIDs())),
                        caption(), secondary());
  summary->setObjectName(QStringLiteral("pairedSummary"));
  stack->addWidget(summary);
  return widget;
}

QWidget *ClassicPanel::middle() {
  auto *widget = new QWidget;
  auto *stack = panelkit::column(widget, 12);
  auto &manager = *context_.manager;
  if (!sharing_) {
    if (manager.pairedPeers->empty()) {
      auto *empty = new QWidget;
      empty->setObjectName(QStringLiteral("classicEmpty"));
      auto *emptyStack = panelkit::column(empty, 8);
      emptyStack->addWidget(label(QStringLiteral("Pair another Mac and the ports it shares appear "
                                                 "here as localhost addresses."),
                                  callout(), secondary(), 3));
      auto *pair = new QPushButton(QStringLiteral("Pair a Mac\u2026"));
      pair->setObjectName(QStringLiteral("emptyPairButton"));
      onClick(pair, this, [this] {
        if (actions_.pair)
          actions_.pair();
      });
      emptyStack->addWidget(pair, 0, Qt::AlignLeft);
      stack->addWidget(empty);
    } else {
      for (const auto &group :
           incomingGroupedByPeer(manager.pairedPeers.get(), manager.incoming.get()))
        stack->addWidget(macGroup(group.peer, group.rows));
    }
  }
  stack->addWidget(sharingSection());
  stack->addStretch(1);
  return widget;
}

QWidget *ClassicPanel::macGroup(const PairedPeer &peer, const std::vector<IncomingService> &rows) {
  auto *widget = new QWidget;
  widget->setObjectName(QStringLiteral("macGroup"));
  auto *stack = panelkit::column(widget, 6);
  auto *head = new QWidget;
  auto *headLine = panelkit::row(head, 6);
  const QFont headFont = sized(10.5, QFont::Medium);
  headLine->addWidget(label(QString::fromStdString(peer.name), headFont, secondary()));
  headLine->addStretch(1);
  auto *reach = label(context_.onlinePairedIDs().contains(peer.deviceID)
                          ? QString::fromStdString(latencyLabel(peer.deviceID))
                          : QStringLiteral("Not nearby"),
                      headFont, secondary());
  reach->setObjectName(QStringLiteral("macReach"));
  reaches_[peer.deviceID] = reach;
  headLine->addWidget(reach);
  stack->addWidget(head);

  auto *card = new Card;
  auto *list = panelkit::column(card, 0);
  if (rows.empty()) {
    auto *none = label(QStringLiteral("Not sharing any ports"), body(), secondary());
    none->setContentsMargins(10, 10, 10, 10);
    list->addWidget(none);
  } else {
    const auto groups = ServiceManager::groupIncomingByEnvironment(rows);
    const bool headed =
        std::ranges::any_of(groups, [](const auto &g) { return g.environment.has_value(); });
    for (std::size_t index = 0; index < groups.size(); ++index) {
      const auto &group = groups[index];
      if (headed) {
        if (index > 0)
          list->addWidget(panelkit::separator(separatorColor()));
        auto *groupHead = new QWidget;
        auto *groupLine = panelkit::row(groupHead, 5, QMargins(11, 7, 11, 3));
        groupLine->addWidget(
            panelkit::symbol(QStringLiteral("square.stack.3d.up"), 11, secondary()));
        groupLine->addWidget(label(group.environment ? QString::fromStdString(*group.environment)
                                                     : QStringLiteral("Other ports"),
                                   headFont, secondary()));
        groupLine->addStretch(1);
        list->addWidget(groupHead);
      }
      for (std::size_t at = 0; at < group.rows.size(); ++at) {
        if (at > 0)
          list->addWidget(panelkit::separator(separatorColor()));
        list->addWidget(incomingRow(group.rows[at]));
      }
    }
  }
  stack->addWidget(card);
  return widget;
}

QWidget *ClassicPanel::sharingSection() {
  auto *widget = new QWidget;
  widget->setObjectName(QStringLiteral("thisMacIsSharing"));
  auto *stack = panelkit::column(widget, 6);
  auto &manager = *context_.manager;
  const QFont headFont = sized(10.5, QFont::Medium);

  auto *head = new QWidget;
  auto *headLine = panelkit::row(head, 6);
  headLine->addWidget(label(QStringLiteral("This Mac is sharing"), headFont, secondary()));
  headLine->addStretch(1);
  if (manager.sharingState->which == SharingState::Case::on && !manager.outgoing->empty()) {
    auto *pauseAll = link(QStringLiteral("Pause all"));
    pauseAll->setObjectName(QStringLiteral("classicPauseAll"));
    onClick(pauseAll, this, [m = &manager] { m->setSharingPaused(true); });
    headLine->addWidget(pauseAll);
  }
  stack->addWidget(head);

  const SharingState state = manager.sharingState.get();
  if (auto sentence = sharingStatusText(state, manager.locationPermission.get())) {
    auto *banner = new QWidget;
    banner->setObjectName(QStringLiteral("classicBanner"));
    auto *line = panelkit::row(banner, 4);
    line->setAlignment(Qt::AlignTop);
    line->addWidget(label(QString::fromStdString(*sentence), caption(), orange(), 3), 1);
    ServiceManager *m = &manager;
    if (state.which == SharingState::Case::pausedByYou) {
      auto *resume = link(QStringLiteral("Resume"));
      resume->setObjectName(QStringLiteral("classicResume"));
      onClick(resume, this, [m] { m->setSharingPaused(false); });
      line->addWidget(resume);
    } else if (state.which == SharingState::Case::offTrustedNetworks && state.wifiName) {
      auto *trust = link(QStringLiteral("Trust ") + QString::fromStdString(*state.wifiName));
      trust->setObjectName(QStringLiteral("classicTrust"));
      onClick(trust, this, [m, name = *state.wifiName] { m->trustNetwork(name); });
      line->addWidget(trust);
    }
    if (auto title = networkPermissionActionTitle(state, manager.locationPermission.get())) {
      auto *permission = link(QString::fromStdString(*title));
      onClick(permission, this, [m] { m->requestLocationPermission(); });
      line->addWidget(permission);
    }
    stack->addWidget(banner);
  }

  for (const auto &group :
       groupSharesByEnvironment(manager.preferences.get(), manager.outgoing.get())) {
    if (group.environment) {
      const ShareEnvironment environment = *group.environment;
      const bool allOn = panelparts::allEnabled(group.rows);
      const QString name = QString::fromStdString(environment.name);
      auto *envHead = new QWidget;
      auto *envLine = panelkit::row(envHead, 8, QMargins(0, 4, 0, 0));
      envLine->addWidget(panelkit::symbol(QStringLiteral("square.stack.3d.up"), 11, secondary()));
      envLine->addWidget(label(name, headFont, secondary()));
      auto *toggle = link(allOn ? QStringLiteral("Pause") : QStringLiteral("Resume"));
      toggle->setObjectName(QStringLiteral("classicEnvironmentToggle"));
      auto *more = new panelkit::SymbolButton(QStringLiteral("ellipsis.circle"), 14, secondary(),
                                              QSize(22, 22));
      panelparts::wireEnvironmentButtons(*toggle, *more, *this, context_, environment, allOn);
      envLine->addWidget(toggle);
      envLine->addWidget(more);
      envLine->addStretch(1);
      stack->addWidget(envHead);
    }
    if (group.rows.empty())
      continue;
    auto *card = new Card;
    auto *list = panelkit::column(card, 0);
    for (std::size_t at = 0; at < group.rows.size(); ++at) {
      if (at > 0)
        list->addWidget(panelkit::separator(separatorColor()));
      list->addWidget(keptShareRow(group.rows[at]));
    }
    stack->addWidget(card);
  }

  if (!sharing_) {
    auto *share = link(QStringLiteral("Share a port\u2026"), body());
    share->setObjectName(QStringLiteral("classicShareAPort"));
    onClick(share, this, [this] { setSharing(true); });
    stack->addWidget(share, 0, Qt::AlignLeft);
  } else {
    auto *box = new Card;
    auto *inside = panelkit::column(box, 0, QMargins(12, 12, 12, 12));
    if (!shareEditor_ && context_.hooks.shareEditor)
      shareEditor_ = context_.hooks.shareEditor([this] { setSharing(false); });
    if (shareEditor_)
      inside->addWidget(shareEditor_);
    stack->addWidget(box);
  }
  return widget;
}

QWidget *ClassicPanel::footer() {
  auto *widget = new QWidget;
  auto *stack = panelkit::column(widget, 12);
  auto &manager = *context_.manager;
  stack->addWidget(panelkit::separator(separatorColor()));
  auto *actionsRow = new QWidget;
  auto *line = panelkit::row(actionsRow, 4);
  auto *pair = plain(QStringLiteral("Pair a Mac\u2026"));
  pair->setObjectName(QStringLiteral("classicPair"));
  onClick(pair, this, [this] {
    if (actions_.pair)
      actions_.pair();
  });
  line->addWidget(pair);
  line->addStretch(1);
  auto *settings = plain(QStringLiteral("Settings\u2026"));
  settings->setObjectName(QStringLiteral("classicSettings"));
  onClick(settings, this, [this] {
    if (actions_.settings)
      actions_.settings();
  });
  line->addWidget(settings);
  auto *quit = plain(QStringLiteral("Quit"));
  quit->setObjectName(QStringLiteral("classicQuit"));
  onClick(quit, this, [this] {
    if (actions_.quit)
      actions_.quit();
  });
  line->addWidget(quit);
  stack->addWidget(actionsRow);

  if (context_.updates)
    if (const auto &release = context_.updates->available.get()) {
      auto *offer = link(QStringLiteral("Corvane ") + QString::fromStdString(release->version) +
                         QStringLiteral(" is available \u2014 Download\u2026"));
      offer->setObjectName(QStringLiteral("classicUpdate"));
      onClick(offer, this, [u = context_.updates] { u->openDownload(); });
      stack->addWidget(offer, 0, Qt::AlignLeft);
    }
  if (const auto &tip = manager.sharingTip.get()) {
    auto *tipRow = new QWidget;
    auto *tipLine = panelkit::row(tipRow, 8);
    tipLine->setAlignment(Qt::AlignTop);
    tipLine->addWidget(label(QString::fromStdString(*tip), caption(), secondary(), 4), 1);
    auto *gotIt = new QPushButton(QStringLiteral("Got it"));
    gotIt->setObjectName(QStringLiteral("classicGotIt"));
    gotIt->setFont(caption());
    onClick(gotIt, this, [m = &manager] { m->sharingTip.set(std::nullopt); });
    tipLine->addWidget(gotIt, 0, Qt::AlignTop);
    stack->addWidget(tipRow);
  }
  if (const auto &notice = manager.notice.get()) {
    auto *button = new panelkit::ContentButton;
    button->setObjectName(QStringLiteral("classicNotice"));
    panelkit::column(button, 0);
    button->adopt(label(QString::fromStdString(*notice), caption(), orange(), 4));
    button->setToolTip(QStringLiteral("Click to dismiss"));
    button->setAccessibleName(QString::fromStdString(*notice));
    button->setAccessibleDescription(QStringLiteral("Dismisses this message"));
    onClick(button, this, [m = &manager] { m->setNotice(std::nullopt); });
    stack->addWidget(button);
  }
  return widget;
}

} // namespace corvane
