#include "brimvale/windows/PairingWindow.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/FrameTimer.h"
#include "brimvale/panels/StateWatch.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/AppWindows.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace corvane {

namespace {

using Kind = PairingCoordinator::State::Kind;

// The code in tiles, two groups of three; one element for a screen reader, which reads the
// digits one by one.
class CodeTiles : public QWidget {
public:
  static constexpr int tileWidth = 38;
  static constexpr int tileHeight = 50;
  static constexpr int spacing = 8;
  static constexpr int groupGap = 10;
  static constexpr qreal radius = 7;

  explicit CodeTiles(const std::string &code) : code_(QString::fromStdString(code)) {
    setObjectName(QStringLiteral("codeTiles"));
    setAccessibleName(PairingWindow::codeAccessibleName(code));
    const int count = static_cast<int>(code_.size());
    const int width =
        count * tileWidth + std::max(0, count - 1) * spacing + (count > 3 ? groupGap : 0);
    setFixedSize(width, tileHeight);
  }

  QString code() const { return code_; }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(Theme::mono(30, QFont::Bold));
    qreal x = 0;
    for (qsizetype i = 0; i < code_.size(); ++i) {
      const QRectF tile(x, 0, tileWidth, tileHeight);
      painter.setPen(Qt::NoPen);
      painter.setBrush(Theme::surface.resolved());
      painter.drawRoundedRect(tile, radius, radius);
      painter.setPen(Theme::text.resolved());
      painter.drawText(tile, Qt::AlignCenter, code_.mid(i, 1));
      x += tileWidth + spacing + (i == 2 ? groupGap : 0);
    }
  }

private:
  QString code_;
};

// A small spinning ring; still under Reduce Motion.
class Spinner : public QWidget {
public:
  static constexpr int side = 16;

  explicit Spinner(bool reduceMotion) : frames_(new FrameTimer(this)) {
    setObjectName(QStringLiteral("spinner"));
    setAccessibleName(QStringLiteral("In progress"));
    setFixedSize(side, side);
    frames_->setMoving(!reduceMotion);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const int start =
        frames_->isMoving() ? -static_cast<int>(std::fmod(seconds, 1.0) * 360 * 16) : 90 * 16;
    const QRectF ring = QRectF(rect()).adjusted(2, 2, -2, -2);
    painter.setPen(panelkit::pen(Theme::line.resolved(), 2));
    painter.drawEllipse(ring);
    painter.setPen(panelkit::pen(Theme::textMuted.resolved(), 2));
    painter.drawArc(ring, start, 100 * 16);
  }

private:
  FrameTimer *frames_;
};

QLabel *title(const QString &text) {
  auto *made = panelkit::label(text, Theme::display(18, QFont::Bold), Theme::text.resolved(), 2);
  made->setObjectName(QStringLiteral("stateTitle"));
  made->setAlignment(Qt::AlignHCenter);
  return made;
}

QLabel *sentence(const QString &text) {
  auto *made = panelkit::label(text, Theme::system(12), Theme::textMuted.resolved(), 3);
  made->setObjectName(QStringLiteral("stateSentence"));
  made->setAlignment(Qt::AlignHCenter);
  return made;
}

QHBoxLayout *buttonRow(std::initializer_list<QWidget *> buttons) {
  auto *row = new QHBoxLayout;
  row->setSpacing(10);
  row->setContentsMargins(0, 0, 0, 0);
  row->addStretch();
  for (QWidget *each : buttons)
    row->addWidget(each, 0, Qt::AlignVCenter);
  row->addStretch();
  return row;
}

QString text(const std::string &value) {
  return QString::fromStdString(value);
}

} // namespace

PairingWindow::PairingWindow(ServiceManager &manager, std::shared_ptr<PairingCoordinator> pairing,
                             bool reduceMotion, PairByAddress::Addresses addresses, QWidget *parent)
    : QWidget(parent), manager_(manager), pairing_(std::move(pairing)),
      reduceMotion_(reduceMotion) {
  setObjectName(QStringLiteral("pairingWindow"));
  setAutoFillBackground(true);

  auto *column = panelkit::column(this, 0);
  auto *mapHolder = new QWidget;
  auto *mapRow = panelkit::row(mapHolder, 0, QMargins(12, 0, 12, 0));
  map_ = new NearbyMapView(
      {}, std::nullopt, [this](const MapNode &node) { select(node.id); }, reduceMotion_);
  map_->setObjectName(QStringLiteral("pairingMap"));
  map_->setFixedHeight(mapHeight);
  mapRow->addWidget(map_);
  column->addWidget(mapHolder);
  separator_ = panelkit::separator(Theme::line.resolved());
  column->addWidget(separator_);

  stateArea_ = new QWidget;
  stateArea_->setObjectName(QStringLiteral("stateArea"));
  stateArea_->setFixedWidth(windowWidth);
  stateArea_->setMinimumHeight(stateMinimumHeight);
  stateLayout_ = panelkit::column(stateArea_, 12, QMargins(20, 20, 20, 20));
  stateLayout_->setAlignment(Qt::AlignVCenter);
  address_ = new PairByAddress(manager_, std::move(addresses));
  stateLayout_->addWidget(address_);
  column->addWidget(stateArea_);

  watch_ = new StateWatch(
      manager_, nullptr, [this] { refresh(); }, this);
  previousOnChange_ = pairing_->onChange;
  pairing_->onChange = [this, previous = previousOnChange_] {
    if (previous)
      previous();
    watch_->schedule();
  };
  refresh();
}

PairingWindow::~PairingWindow() {
  stop();
  pairing_->onChange = previousOnChange_;
}

std::vector<MapNode> PairingWindow::mapNodes(const std::vector<PairedPeer> &pairedPeers,
                                             const std::set<std::string> &onlinePeerIDs,
                                             const std::vector<NearbyDevice> &candidates) {
  std::vector<MapNode> nodes;
  const auto sorted = peersByPairingDate(pairedPeers);
  int index = 0;
  for (const auto &peer : sorted)
    nodes.push_back(MapNode{peer.deviceID, peer.name,
                            MapNode::Kind::paired(onlinePeerIDs.contains(peer.deviceID)), index++});
  // The coordinator's list follows its browsing, not the store: a Mac paired a moment ago is
  // still listed until its advertisement changes, and must not show twice.
  for (const auto &candidate : candidates) {
    const bool paired = std::any_of(sorted.begin(), sorted.end(), [&](const PairedPeer &peer) {
      return peer.deviceID == candidate.deviceID;
    });
    if (!paired)
      nodes.push_back(
          MapNode{candidate.deviceID, candidate.name, MapNode::Kind::candidate(), index++});
  }
  return nodes;
}

QString PairingWindow::codeAccessibleName(const std::string &code) {
  QStringList characters;
  for (const QChar each : QString::fromStdString(code))
    characters << QString(each);
  return QStringLiteral("Pairing code ") + characters.join(QLatin1Char(' '));
}

void PairingWindow::select(const std::string &deviceID) {
  // The list may have changed since the map was drawn.
  for (const auto &candidate : pairing_->candidates())
    if (candidate.deviceID == deviceID) {
      const NearbyDevice chosen = candidate;
      pairing_->pairWith(chosen.endpoint, chosen.name, std::nullopt);
      return;
    }
}

void PairingWindow::refresh() {
  // Colours are taken when the pieces are built: build them again in a new appearance.
  if (appearance_ != Theme::appearance()) {
    appearance_ = Theme::appearance();
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Theme::background.resolved());
    colours.setColor(QPalette::WindowText, Theme::text.resolved());
    setPalette(colours);
    QPalette line = separator_->palette();
    line.setColor(QPalette::Window, Theme::line.resolved());
    separator_->setPalette(line);
    shown_.reset();
  }
  auto nodes =
      mapNodes(manager_.pairedPeers.get(), manager_.onlinePeerIDs.get(), pairing_->candidates());
  if (nodes != map_->nodes())
    map_->setNodes(std::move(nodes), std::nullopt);
  rebuildState();
  address_->refresh();
}

void PairingWindow::rebuildState() {
  const auto &state = pairing_->state();
  const bool searching = state.kind == Kind::idle || state.kind == Kind::searching;
  // Idle and searching look the same; among them only whether a candidate exists matters.
  auto key = std::pair(searching ? PairingCoordinator::State::searching() : state,
                       searching && !pairing_->candidates().empty());
  if (shown_ == key)
    return;
  shown_ = key;
  defaultButton_ = nullptr;
  cancelButton_ = nullptr;
  if (content_) {
    // Deleted later: a button of it may be the one whose click led here.
    content_->hide();
    content_->deleteLater();
  }
  content_ = stateContent(state, key.second);
  stateLayout_->insertWidget(0, content_);
  // At once, not on the next turn of the event loop as a widget added to a shown one would be.
  if (isVisible())
    content_->show();
  address_->setVisible(searching);
}

QWidget *PairingWindow::stateContent(const PairingCoordinator::State &state, bool anyCandidate) {
  auto *content = new QWidget;
  content->setObjectName(QStringLiteral("stateContent"));
  auto *column = panelkit::column(content, 12);
  auto centred = [column](QWidget *widget) { column->addWidget(widget, 0, Qt::AlignHCenter); };
  switch (state.kind) {
  case Kind::idle:
  case Kind::searching:
    if (anyCandidate) {
      column->addWidget(title(QStringLiteral("Choose the Mac to pair with")));
      column->addWidget(sentence(QStringLiteral(
          "Choose a dashed Mac above. You'll compare a 6-digit code on both screens.")));
    } else {
      column->addWidget(title(QStringLiteral("Open this window on the other Mac")));
      column->addWidget(sentence(QStringLiteral(
          "On the other Mac, open Corvane from the system tray and choose Pair a Mac. Both Macs "
          "need to be on the same network. It appears above when it's ready.")));
    }
    break;
  case Kind::connecting:
    centred(new Spinner(reduceMotion_));
    column->addWidget(
        sentence(QStringLiteral("Connecting to ") + text(state.name) + QStringLiteral("\u2026")));
    break;
  case Kind::compare: {
    column->addWidget(
        title(QStringLiteral("Does ") + text(state.name) + QStringLiteral(" show this code?")));
    centred(new CodeTiles(state.code));
    auto *refuse =
        panelkit::windowButton(QStringLiteral("They don't match"), QStringLiteral("refuseButton"));
    auto *confirm =
        panelkit::windowButton(QStringLiteral("Codes match"), QStringLiteral("confirmButton"));
    InkButtonStyle::apply(confirm, 44);
    connect(refuse, &QPushButton::clicked, this, [this] { pairing_->cancel(); });
    connect(confirm, &QPushButton::clicked, this, [this] { pairing_->confirm(); });
    column->addLayout(buttonRow({refuse, confirm}));
    auto *note =
        panelkit::label(QStringLiteral("Only confirm if both screens show the same six digits."),
                        Theme::system(11), Theme::textMuted.resolved());
    note->setObjectName(QStringLiteral("stateNote"));
    centred(note);
    defaultButton_ = confirm;
    cancelButton_ = refuse;
    break;
  }
  case Kind::waitingForPeer: {
    column->addWidget(
        title(QStringLiteral("Waiting for ") + text(state.name) + QStringLiteral(" to confirm")));
    centred(new CodeTiles(state.code));
    auto *cancel = panelkit::windowButton(QStringLiteral("Cancel"), QStringLiteral("cancelButton"));
    connect(cancel, &QPushButton::clicked, this, [this] { pairing_->cancel(); });
    centred(cancel);
    break;
  }
  case Kind::success: {
    auto *mark =
        panelkit::symbol(QStringLiteral("checkmark.circle.fill"), 30, Theme::ok.resolved());
    mark->setObjectName(QStringLiteral("successMark"));
    centred(mark);
    column->addWidget(title(QStringLiteral("Paired with ") + text(state.name)));
    column->addWidget(sentence(QString::fromUtf8(pairedSentence)));
    auto *again =
        panelkit::windowButton(QStringLiteral("Pair another Mac"), QStringLiteral("againButton"));
    auto *done = panelkit::windowButton(QStringLiteral("Done"), QStringLiteral("doneButton"));
    done->setDefault(true);
    connect(again, &QPushButton::clicked, this, [this] { pairing_->startPairing(); });
    connect(done, &QPushButton::clicked, this, [this] { close(); });
    column->addLayout(buttonRow({again, done}));
    defaultButton_ = done;
    break;
  }
  case Kind::failed: {
    column->addWidget(title(QStringLiteral("Pairing didn't finish")));
    column->addWidget(sentence(text(state.message)));
    auto *again =
        panelkit::windowButton(QStringLiteral("Start again"), QStringLiteral("startAgainButton"));
    again->setDefault(true);
    connect(again, &QPushButton::clicked, this, [this] { pairing_->startPairing(); });
    centred(again);
    defaultButton_ = again;
    break;
  }
  }
  return content;
}

void PairingWindow::stop() {
  if (!running_)
    return;
  running_ = false;
  pairing_->stopPairing();
}

void PairingWindow::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (running_)
    return;
  running_ = true;
  pairing_->startPairing();
}

void PairingWindow::hideEvent(QHideEvent *event) {
  QWidget::hideEvent(event);
  // Minimising is no reason to stop; closing and hiding are.
  if (!event->spontaneous())
    stop();
}

void PairingWindow::keyPressEvent(QKeyEvent *event) {
  const bool returnKey = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  QAbstractButton *target = returnKey                        ? defaultButton_
                            : event->key() == Qt::Key_Escape ? cancelButton_
                                                             : nullptr;
  if (target && target->isVisible() && target->isEnabled()) {
    target->click();
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void PairingWindow::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::PaletteChange)
    refresh();
}

void addPairingWindow(WindowRegistry &registry, const WindowContext &context) {
  ServiceManager *manager = context.manager;
  const bool reduceMotion = context.reduceMotion;
  registry.add(QStringLiteral("pairing"), [manager, reduceMotion]() -> QWidget * {
    return new PairingWindow(*manager, manager->pairingCoordinator(), reduceMotion);
  });
}

} // namespace corvane
