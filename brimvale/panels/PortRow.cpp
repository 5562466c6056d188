#include "brimvale/panels/PortRow.h"

#include "brimvale/catalogue/IncomingProblemText.h"
#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/PanelParts.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/CopyFeedback.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/ServiceIcon.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/Theme.h"

#include <QFontMetricsF>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvane {

namespace {

using Case = IncomingService::State::Case;

class StateDot : public QWidget {
public:
  explicit StateDot(PortRow::Dot dot) : dot_(dot) {
    setFixedSize(7, 7);
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(rect());
    switch (dot_) {
    case PortRow::Dot::filledOk:
    case PortRow::Dot::filledFaint:
      painter.setPen(Qt::NoPen);
      painter.setBrush(dot_ == PortRow::Dot::filledOk ? Theme::ok.resolved()
                                                      : Theme::textFaint.resolved());
      painter.drawEllipse(bounds);
      break;
    case PortRow::Dot::ringAccent:
    case PortRow::Dot::ringFaint:
      panelkit::strokeInside(painter, bounds,
                             panelkit::pen(dot_ == PortRow::Dot::ringAccent
                                               ? Theme::accent.resolved()
                                               : Theme::textFaint.resolved(),
                                           1.5, 0, 0, 0, Qt::FlatCap));
      break;
    }
  }

private:
  PortRow::Dot dot_;
};

// The address to copy, drawn as a field with "Copy" and its mark; "Copied" for a moment after.
class CopyButton : public QAbstractButton {
public:
  CopyButton(QString address, QString copyID, CopyFeedback &feedback)
      : address_(std::move(address)), copyID_(std::move(copyID)), feedback_(feedback) {
    setObjectName(QStringLiteral("copyButton"));
    setFixedHeight(44);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    refresh();
    connect(&feedback_, &CopyFeedback::copiedIDChanged, this, [this] { refresh(); });
  }

  bool justCopied() const { return feedback_.copiedID() == copyID_; }
  QSize sizeHint() const override { return {200, 44}; }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(rect());
    QPainterPath shape;
    shape.addRoundedRect(bounds, 10, 10);
    painter.fillPath(shape, Theme::card.resolved());
    painter.setPen(panelkit::pen(Theme::line.resolved(), 1, 0, 0, 0, Qt::FlatCap));
    painter.drawRoundedRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5), 9.5, 9.5);
    const bool copied = justCopied();
    const QColor colour = copied ? Theme::ok.resolved() : Theme::text.resolved();
    const QRectF inner = bounds.adjusted(12, 0, -12, 0);
    // The mark at the trailing end, "Copy" before it, the address leading.
    const qreal markSize = 11;
    panelkit::paintSymbol(
        painter, copied ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc"),
        QPointF(inner.right() - markSize / 2, inner.center().y()), markSize, colour);
    const QFont copyFont = Theme::system(12, QFont::Medium);
    const QString copyWord = copied ? QString() : QStringLiteral("Copy");
    const qreal copyWidth = QFontMetricsF(copyFont).horizontalAdvance(copyWord);
    painter.setFont(copyFont);
    painter.setPen(copied ? colour : Theme::textMuted.resolved());
    painter.drawText(
        QRectF(inner.right() - markSize - 8 - copyWidth, inner.top(), copyWidth, inner.height()),
        Qt::AlignVCenter | Qt::AlignRight, copyWord);
    const QFont addressFont = Theme::mono(12.5);
    painter.setFont(addressFont);
    painter.setPen(colour);
    const qreal room = inner.width() - markSize - 8 - copyWidth - 8;
    painter.drawText(
        QRectF(inner.left(), inner.top(), room, inner.height()), Qt::AlignVCenter | Qt::AlignLeft,
        QFontMetricsF(addressFont)
            .elidedText(copied ? QStringLiteral("Copied") : address_, Qt::ElideRight, room));
  }

private:
  void refresh() {
    setAccessibleName((justCopied() ? QStringLiteral("Copied ") : QStringLiteral("Copy ")) +
                      address_);
    update();
  }

  QString address_;
  QString copyID_;
  CopyFeedback &feedback_;
};

} // namespace

PortRow::Dot PortRow::dot(const IncomingService &row) {
  const bool problem = incomingProblemText(row).has_value();
  switch (row.state.which()) {
  case Case::connected:
    if (problem)
      return Dot::ringAccent;
    return row.inUse ? Dot::filledOk : Dot::filledFaint;
  case Case::failed: return Dot::ringAccent;
  default: return problem ? Dot::ringAccent : Dot::ringFaint;
  }
}

std::optional<QString> PortRow::address() const {
  if (row_.state.which() != Case::connected || !row_.localPort)
    return std::nullopt;
  return QStringLiteral("localhost:") + QString::number(*row_.localPort);
}

PortRow::PortRow(const PanelContext &context, IncomingService row, CopyFeedback &feedback,
                 QWidget *parent)
    : QWidget(parent), context_(context), row_(std::move(row)), feedback_(feedback) {
  setObjectName(QStringLiteral("portRow"));
  build();
}

QString PortRow::look() const {
  const auto problem = incomingProblemText(row_);
  const bool waking = context_.manager->wakingPeerIDs->contains(row_.key.peerID);
  return QStringList{
      QString::fromStdString(row_.name),
      QString::fromStdString(serviceDetailText(row_).value_or("")),
      QString::fromStdString(serviceBadgeText(row_)),
      QString::number(static_cast<int>(dot(row_))),
      QString::fromStdString(problem.value_or(incomingStateText(row_, context_.date()))),
      QString::number(static_cast<int>(row_.state.which())),
      QString::fromStdString(row_.hints ? row_.hints->note.value_or("") : ""),
      address().value_or(QString()),
      QString::number(context_.canWake(row_.key.peerID)),
      QString::number(waking),
      QString::fromStdString(row_.peerName),
      QString::fromStdString(portMovedNotice(row_).value_or(""))}
      .join(QChar(0x1f));
}

void PortRow::setRow(IncomingService row) {
  panelparts::updateRow(
      *this, row_, std::move(row), [this] { return look(); }, [this] { build(); });
}

void PortRow::build() {
  setAccessibleName(QString::fromStdString(incomingAccessibilityLabel(row_)));
  const bool off = row_.state.which() == Case::off;
  auto *stack = panelkit::column(this, 10, QMargins(14, 12, off ? 14 : 8, 12));

  // Top line: tile, texts, "More".
  auto *top = new QWidget;
  auto *topLine = panelkit::row(top, 10);
  const auto known = KnownService::lookup(row_.name, row_.remotePort);
  auto *icon = new ServiceIcon(known, QString::fromStdString(serviceBadgeText(row_)), 34);
  panelkit::setForeground(icon, Theme::text.resolved());
  topLine->addWidget(icon, 0, Qt::AlignVCenter);

  auto *texts = new QWidget;
  auto *textStack = panelkit::column(texts, 3);
  auto *nameLine = new QWidget;
  auto *nameRow = panelkit::row(nameLine, 6);
  auto *name = panelkit::label(QString::fromStdString(row_.name),
                               Theme::system(14, QFont::DemiBold), Theme::text.resolved());
  name->setObjectName(QStringLiteral("portName"));
  nameRow->addWidget(name, 0, Qt::AlignBaseline);
  if (auto detail = serviceDetailText(row_))
    nameRow->addWidget(panelkit::label(QString::fromStdString(*detail), Theme::mono(11.5),
                                       Theme::textMuted.resolved()),
                       0, Qt::AlignBaseline);
  nameRow->addStretch(1);
  textStack->addWidget(nameLine);

  auto *stateLine = new QWidget;
  auto *stateRow = panelkit::row(stateLine, 6);
  stateRow->addWidget(new StateDot(dot(row_)), 0, Qt::AlignVCenter);
  const auto problem = incomingProblemText(row_);
  const bool alarming = problem || row_.state.which() == Case::failed;
  auto *state = panelkit::label(
      QString::fromStdString(problem ? *problem : incomingStateText(row_, context_.date())),
      Theme::system(12), alarming ? Theme::accent.resolved() : Theme::textMuted.resolved(), 2);
  state->setObjectName(QStringLiteral("portState"));
  stateRow->addWidget(state, 1);
  textStack->addWidget(stateLine);

  if (row_.hints && row_.hints->note) {
    auto *note = panelkit::label(QString::fromStdString(*row_.hints->note), Theme::system(11.5),
                                 Theme::textMuted.resolved(), 2);
    note->setObjectName(QStringLiteral("portNote"));
    textStack->addWidget(note);
  }
  topLine->addWidget(texts, 1);

  if (!off) {
    auto *more = new panelkit::SymbolButton(QStringLiteral("ellipsis"), 13,
                                            Theme::textMuted.resolved(), QSize(30, 34));
    more->setObjectName(QStringLiteral("moreButton"));
    more->setAccessibleName(QStringLiteral("More for ") + QString::fromStdString(row_.name));
    connect(more, &QAbstractButton::clicked, this,
            [this, more] { panelkit::popUp(buildMoreMenu(), more); });
    topLine->addWidget(more, 0, Qt::AlignVCenter);
  }
  stack->addWidget(top);

  // Action line.
  const auto wrapped = [](QWidget *action) {
    auto *holder = new QWidget;
    panelkit::row(holder, 0, QMargins(0, 0, 6, 0))->addWidget(action);
    return holder;
  };
  if (auto text = address()) {
    auto *copy = new CopyButton(*text, IncomingConnectItems::copyID(row_), feedback_);
    connect(copy, &QAbstractButton::clicked, this, [this] { copyAddress(); });
    stack->addWidget(wrapped(copy));
  } else if (row_.state.which() == Case::asleep && context_.canWake(row_.key.peerID)) {
    const bool waking = context_.manager->wakingPeerIDs->contains(row_.key.peerID);
    const QString peer = QString::fromStdString(row_.peerName);
    auto *wake =
        new QPushButton(waking ? QStringLiteral("Waking ") + peer + QStringLiteral("\u2026")
                               : QStringLiteral("Wake ") + peer);
    wake->setObjectName(QStringLiteral("wakeButton"));
    InkButtonStyle::apply(wake, 44);
    wake->setEnabled(!waking);
    if (waking) {
      auto *dim = new QGraphicsOpacityEffect(wake);
      dim->setOpacity(0.6);
      wake->setGraphicsEffect(dim);
    }
    connect(wake, &QAbstractButton::clicked, this, [this] {
      if (context_.hooks.wakePeer)
        context_.hooks.wakePeer(row_.key.peerID);
    });
    stack->addWidget(wrapped(wake));
  } else if (off) {
    auto *turnOn = new QPushButton(QStringLiteral("Turn on"));
    turnOn->setObjectName(QStringLiteral("turnOnButton"));
    InkButtonStyle::apply(turnOn, 44);
    connect(turnOn, &QAbstractButton::clicked, this, [this] {
      context_.manager->setIncomingEnabled(row_.key.peerID, row_.key.serviceID, true);
    });
    stack->addWidget(turnOn);
  }

  if (auto moved = portMovedNotice(row_)) {
    auto *notice = panelkit::label(QString::fromStdString(*moved), Theme::system(11.5),
                                   Theme::textMuted.resolved(), 3);
    notice->setObjectName(QStringLiteral("movedNotice"));
    stack->addWidget(notice);
  }
}

void PortRow::copyAddress() {
  if (auto text = address())
    feedback_.copyWithFeedback(*text, IncomingConnectItems::copyID(row_));
}

QMenu *PortRow::buildMoreMenu() {
  if (row_.state.which() == Case::off)
    return nullptr;
  auto *menu = new QMenu(this);
  if (auto text = address())
    menu->addAction(QStringLiteral("Copy ") + *text, this, [this] { copyAddress(); });
  IncomingConnectItems(row_, feedback_, *context_.manager, *context_.opener,
                       context_.explanationIsAvailable(), context_.openWindow)
      .addTo(*menu);
  menu->addSeparator();
  ServiceManager *manager = context_.manager;
  menu->addAction(QStringLiteral("Turn off on this Mac"), menu, [manager, key = row_.key] {
    manager->setIncomingEnabled(key.peerID, key.serviceID, false);
  });
  return menu;
}

} // namespace corvane
