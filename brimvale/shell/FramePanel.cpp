#include "brimvale/shell/FramePanel.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/PanelFrame.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/Theme.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvane {

namespace {

template <typename T, typename Owner>
std::shared_ptr<void> observe(Published<T> &value, Owner *owner) {
  return std::make_shared<typename Published<T>::Subscription>(
      value.subscribe([owner](const T &) { owner->rebuild(); }));
}

QLabel *label(const QString &text, Theme::Face face, qreal size, QFont::Weight weight) {
  auto *made = new QLabel(text);
  made->setFont(Theme::font(face, size, weight));
  made->setWordWrap(true);
  return made;
}

} // namespace

FramePanel::FramePanel(ServiceManager &manager, PanelActions actions, qreal maxHeight,
                       QWidget *parent)
    : QWidget(parent), manager_(manager), actions_(std::move(actions)), maxHeight_(maxHeight) {
  setObjectName(QStringLiteral("framePanel"));
  setFixedWidth(PanelFrame::panelWidth);
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  subscriptions_.push_back(observe(manager_.incoming, this));
  subscriptions_.push_back(observe(manager_.outgoing, this));
  subscriptions_.push_back(observe(manager_.pairedPeers, this));
  subscriptions_.push_back(observe(manager_.onlinePeerIDs, this));
  subscriptions_.push_back(observe(manager_.notice, this));
  rebuild();
}

FramePanel::~FramePanel() = default;

void FramePanel::rebuild() {
  auto *header = new QWidget;
  auto *headerLayout = new QVBoxLayout(header);
  headerLayout->setContentsMargins(0, 0, 0, 0);
  headerLayout->addWidget(label(QStringLiteral("Corvane"), Theme::Face::display, 17, QFont::Bold));
  headerLayout->addWidget(label(
      QString::fromStdString(panelSubtitleText(
          manager_.pairedPeers.get(), manager_.onlinePeerIDs.get(), manager_.networkName.get())),
      Theme::Face::mono, 12, QFont::Normal));

  auto *middle = new QWidget;
  auto *middleLayout = new QVBoxLayout(middle);
  middleLayout->setContentsMargins(0, 0, 0, 0);
  for (const auto &row : manager_.incoming.get()) {
    QString text =
        QString::fromStdString(row.name + " · " + row.peerName + " · " + reachabilityText(row));
    auto *button = new QPushButton(text);
    button->setObjectName(
        QString::fromStdString("incoming:" + row.key.peerID + "/" + row.key.serviceID));
    button->setFlat(true);
    button->setMinimumHeight(44);
    button->setStyleSheet(QStringLiteral("text-align: left"));
    if (const auto port = row.localPort) {
      const QString address = QStringLiteral("localhost:") + QString::number(*port);
      connect(button, &QPushButton::clicked, button,
              [address] { QGuiApplication::clipboard()->setText(address); });
    }
    middleLayout->addWidget(button);
  }
  if (!manager_.outgoing->empty())
    middleLayout->addWidget(
        label(QStringLiteral("Shared from this Mac"), Theme::Face::mono, 12, QFont::DemiBold));
  for (const auto &share : manager_.outgoing.get())
    middleLayout->addWidget(
        label(QString::fromStdString(share.service.name + " · " + shareStatusText(share)),
              Theme::Face::mono, 12, QFont::Normal));
  if (manager_.incoming->empty() && manager_.outgoing->empty())
    middleLayout->addWidget(label(QString::fromStdString(pairedSummaryText(
                                      manager_.pairedPeers.get(), manager_.onlinePeerIDs.get())),
                                  Theme::Face::mono, 12, QFont::Normal));

  auto *footer = new QWidget;
  auto *footerLayout = new QVBoxLayout(footer);
  footerLayout->setContentsMargins(0, 0, 0, 0);
  if (const auto &notice = manager_.notice.get())
    footerLayout->addWidget(
        label(QString::fromStdString(*notice), Theme::Face::mono, 12, QFont::Normal));
  const std::pair<const char *, std::function<void()>> buttons[] = {
      {"Pair a Mac…", actions_.pair}, {"Settings…", actions_.settings}, {"Quit", actions_.quit}};
  for (const auto &[title, action] : buttons) {
    auto *button = new QPushButton(QString::fromUtf8(title));
    button->setObjectName(QString::fromUtf8(title));
    connect(button, &QPushButton::clicked, button, [action] {
      if (action)
        action();
    });
    footerLayout->addWidget(button);
  }

  delete frame_;
  frame_ = new PanelFrame(maxHeight_, true, 12, 16, header, middle, footer, this);
  layout()->addWidget(frame_);
}

} // namespace corvane
