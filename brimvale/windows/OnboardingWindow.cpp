#include "brimvale/windows/OnboardingWindow.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/UserDefaults.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/AppWindows.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

namespace corvane {

namespace {

constexpr int padding = 28;
constexpr int itemSpacing = 14;
constexpr int demoMapHeight = 190;
constexpr int symbolWidth = 18;

QLabel *stepTitle(const QString &text) {
  auto *made = panelkit::label(text, Theme::display(24, QFont::Bold), Theme::text.resolved(), 2);
  made->setObjectName(QStringLiteral("stepTitle"));
  return made;
}

// Body text: muted, wrapped, with 3 points more between its lines than the font gives.
QLabel *body(const QString &text) {
  auto *made = panelkit::label({}, Theme::system(12.5), Theme::textMuted.resolved(), 4);
  made->setObjectName(QStringLiteral("stepBody"));
  made->setTextFormat(Qt::RichText);
  const int lineHeight = QFontMetrics(made->font()).lineSpacing() + 3;
  made->setText(QStringLiteral("<div style=\"line-height: %1px;\">%2</div>")
                    .arg(lineHeight)
                    .arg(text.toHtmlEscaped()));
  made->setAccessibleName(text);
  made->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return made;
}

} // namespace

OnboardingWindow::OnboardingWindow(UserDefaults &defaults, std::function<void()> pair,
                                   std::vector<MapNode> demo, bool reduceMotion, QWidget *parent)
    : QWidget(parent), defaults_(defaults), pair_(std::move(pair)), demo_(std::move(demo)),
      reduceMotion_(reduceMotion) {
  setObjectName(QStringLiteral("onboardingWindow"));
  setAutoFillBackground(true);

  auto *column = panelkit::column(this, 0);
  auto *stepArea = new QWidget;
  stepArea->setObjectName(QStringLiteral("stepArea"));
  stepLayout_ = panelkit::column(stepArea, 0, QMargins(padding, padding, padding, padding));
  // The step takes the whole width, so that its text wraps at the width measured for it.
  stepLayout_->setAlignment(Qt::AlignTop);
  column->addWidget(stepArea, 1);
  separator_ = panelkit::separator(Theme::line.resolved());
  column->addWidget(separator_);

  auto *footer = new QWidget;
  footer->setObjectName(QStringLiteral("footer"));
  auto *row = panelkit::row(footer, 8, QMargins(padding, 14, padding, 14));
  counter_ = panelkit::label({}, Theme::system(11), Theme::textMuted.resolved());
  counter_->setObjectName(QStringLiteral("stepCounter"));
  back_ = panelkit::windowButton(QStringLiteral("Back"), QStringLiteral("backButton"));
  continue_ = panelkit::windowButton(QStringLiteral("Continue"), QStringLiteral("continueButton"));
  continue_->setDefault(true);
  connect(back_, &QPushButton::clicked, this, [this] { back(); });
  connect(continue_, &QPushButton::clicked, this, [this] { forward(); });
  row->addWidget(counter_, 0, Qt::AlignVCenter);
  row->addStretch();
  row->addWidget(back_, 0, Qt::AlignVCenter);
  row->addWidget(continue_, 0, Qt::AlignVCenter);
  column->addWidget(footer);
  // The window is as large as its content: the step area takes what the footer leaves, or
  // what its tallest step needs, so that no item is laid over another.
  footer->setFixedSize(windowWidth, footer->sizeHint().height());
  stepArea->setFixedSize(windowWidth, std::max(windowHeight - 1 - footer->height(), tallestStep()));

  rebuild();
}

OnboardingWindow::~OnboardingWindow() {
  // Going with the application counts as leaving too.
  markDone();
}

void OnboardingWindow::forward() {
  if (step_ >= stepCount - 1)
    return;
  ++step_;
  rebuild();
}

void OnboardingWindow::back() {
  if (step_ <= 0)
    return;
  --step_;
  rebuild();
}

void OnboardingWindow::pairNow() {
  // The action is the window's; the window may be gone once it has closed.
  const auto pair = pair_;
  markDone();
  close();
  if (pair)
    pair();
}

void OnboardingWindow::later() {
  markDone();
  close();
}

void OnboardingWindow::markDone() {
  if (!defaults_.boolean(didOnboardKey).value_or(false))
    defaults_.setBool(didOnboardKey, true);
}

void OnboardingWindow::rebuild() {
  appearance_ = Theme::appearance();
  QPalette line = separator_->palette();
  line.setColor(QPalette::Window, Theme::line.resolved());
  separator_->setPalette(line);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, Theme::background.resolved());
  colours.setColor(QPalette::WindowText, Theme::text.resolved());
  setPalette(colours);

  if (content_) {
    // Deleted later: a button of it may be the one whose click led here.
    content_->hide();
    content_->deleteLater();
  }
  content_ = stepContent();
  stepLayout_->addWidget(content_);
  // At once, not on the next turn of the event loop as a widget added to a shown one would be.
  if (isVisible())
    content_->show();
  counter_->setText(QStringLiteral("Step %1 of %2").arg(step_ + 1).arg(stepCount));
  panelkit::setForeground(counter_, Theme::textMuted.resolved());
  back_->setVisible(step_ >= 1);
  continue_->setVisible(step_ < stepCount - 1);
}

int OnboardingWindow::tallestStep() {
  const int shown = step_;
  int tallest = 0;
  for (step_ = 0; step_ < stepCount; ++step_) {
    const std::unique_ptr<QWidget> content(stepContent());
    const int width = windowWidth - 2 * padding;
    const int height = content->hasHeightForWidth() ? content->heightForWidth(width)
                                                    : content->sizeHint().height();
    tallest = std::max(tallest, height + 2 * padding);
  }
  step_ = shown;
  return tallest;
}

QWidget *OnboardingWindow::stepContent() {
  auto *content = new QWidget;
  content->setObjectName(QStringLiteral("step%1").arg(step_ + 1));
  auto *column = panelkit::column(content, itemSpacing);
  column->setAlignment(Qt::AlignTop);
  if (step_ == 0) {
    column->addWidget(stepTitle(QStringLiteral("A teammate's database, on your localhost")));
    column->addWidget(
        body(QStringLiteral("Corvane connects ports between Macs on the same network. If Ivo "
                            "shares Postgres, you connect to localhost:5432 as if it ran on your "
                            "Mac. No IP addresses, no firewall rules.")));
    // The sample Macs are paired, which the map never makes clickable.
    auto *map = new NearbyMapView(
        demo_, std::nullopt, [](const MapNode &) {}, reduceMotion_);
    map->setObjectName(QStringLiteral("demoMap"));
    map->setFixedHeight(demoMapHeight);
    column->addWidget(map);
    column->addWidget(body(
        QStringLiteral("It lives in the system tray. Choose a port there to copy its address.")));
  } else if (step_ == 1) {
    column->addWidget(stepTitle(QStringLiteral("Only Macs you pair can connect")));
    const std::pair<const char *, const char *> rows[] = {
        {"lock.fill", "You pair two Macs once by comparing a 6-digit code on both screens."},
        {"arrow.left.arrow.right",
         "Everything between paired Macs is encrypted. Other devices on the network can see that "
         "a Mac runs Corvane, but not what it shares."},
        {"network", "Corvane finds devices on your local network. It needs that to see your "
                    "other Macs; nothing leaves your network."},
        {"exclamationmark.triangle",
         "Macs still running an older Corvane can't connect to this version. Update them too."},
    };
    for (const auto &[symbol, text] : rows) {
      auto *line = new QHBoxLayout;
      line->setSpacing(12);
      auto *mark = panelkit::symbol(QString::fromUtf8(symbol), 15, Theme::text.resolved());
      mark->setObjectName(QStringLiteral("rowSymbol"));
      mark->setFixedWidth(symbolWidth);
      // Decoration: the sentence says it all.
      mark->setAccessibleName({});
      line->addWidget(mark, 0, Qt::AlignTop);
      line->addWidget(body(QString::fromUtf8(text)), 1);
      column->addLayout(line);
    }
  } else {
    column->addWidget(stepTitle(QStringLiteral("Pair your first Mac")));
    column->addWidget(body(QStringLiteral(
        "Install Corvane on the other Mac, then choose Pair a Mac on both. You can also start by "
        "sharing a port from this Mac: open Corvane in the system tray and choose Share a port.")));
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->setContentsMargins(0, 6, 0, 0);
    auto *pair = panelkit::windowButton(QStringLiteral("Pair a Mac"), QStringLiteral("pairButton"));
    pair->setDefault(true);
    auto *later = panelkit::windowButton(QStringLiteral("Later"), QStringLiteral("laterButton"));
    connect(pair, &QPushButton::clicked, this, [this] { pairNow(); });
    connect(later, &QPushButton::clicked, this, [this] { this->later(); });
    buttons->addWidget(pair, 0, Qt::AlignVCenter);
    buttons->addWidget(later, 0, Qt::AlignVCenter);
    buttons->addStretch();
    column->addLayout(buttons);
  }
  return content;
}

void OnboardingWindow::hideEvent(QHideEvent *event) {
  QWidget::hideEvent(event);
  // Closed by its button or by the window's close button; minimising does not count.
  if (!event->spontaneous())
    markDone();
}

void OnboardingWindow::keyPressEvent(QKeyEvent *event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (step_ < stepCount - 1)
      forward();
    else
      pairNow();
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void OnboardingWindow::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  // Colours are taken when the pieces are built: build them again in a new appearance.
  if ((event->type() == QEvent::ApplicationPaletteChange ||
       event->type() == QEvent::PaletteChange) &&
      appearance_ != Theme::appearance())
    rebuild();
}

std::vector<MapNode> onboardingDemoNodes() {
  return {{"a", "Ivo's MacBook Pro", MapNode::Kind::paired(true), 0},
          {"b", "Studio mini", MapNode::Kind::paired(true), 1}};
}

OnboardingWindow *makeOnboardingLauncher(UserDefaults &defaults,
                                         std::function<void(const QString &id)> openWindow,
                                         bool reduceMotion) {
  return new OnboardingWindow(
      defaults,
      [openWindow = std::move(openWindow)] {
        if (openWindow)
          openWindow(QStringLiteral("pairing"));
      },
      onboardingDemoNodes(), reduceMotion);
}

void addOnboardingWindow(WindowRegistry &registry, const WindowContext &context) {
  ServiceManager *manager = context.manager;
  const auto openWindow = context.openWindow;
  const bool reduceMotion = context.reduceMotion;
  registry.add(QStringLiteral("onboarding"), [manager, openWindow, reduceMotion]() -> QWidget * {
    return makeOnboardingLauncher(manager->standardDefaults(), openWindow, reduceMotion);
  });
}

} // namespace corvane
