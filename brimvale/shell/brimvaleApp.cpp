#include "brimvale/shell/brimvaleApp.h"

#include "brimvale/integrations/IntentBus.h"
#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/UrlOpener.h"
#include "brimvale/shell/AppDelegate.h"
#include "brimvale/shell/ClipboardPasteboard.h"
#include "brimvale/shell/GlobalHotkey.h"
#include "brimvale/shell/QtMainQueue.h"
#include "brimvale/shell/StatusIcon.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/shell/TrayMenu.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

namespace corvane {

namespace {

// A click on the tray icon that closes the panel (by taking the focus from it) must not open
// it again at once.
constexpr auto reopenGuard = std::chrono::milliseconds(300);

template <typename T, typename Work> std::shared_ptr<void> observe(Published<T> &value, Work work) {
  return std::make_shared<typename Published<T>::Subscription>(
      value.subscribe([work](const T &) { work(); }));
}

} // namespace

brimvaleApp::brimvaleApp(std::shared_ptr<QtMainQueue> queue, PanelRoot::MakePanel makePanel)
    : queue_(std::move(queue)) {
  Theme::relayAppearanceChanges();
  manager_ = ServiceManager::makeSharedServiceManager(queue_);
  opener_ = std::make_shared<XdgUrlOpener>();
  updates_ = UpdateChecker::create(*queue_, manager_->standardDefaults(), *opener_);
  hotkey_ = std::make_unique<GlobalHotkey>(manager_->standardDefaults(), [this] { showPanel(); });
  delegate_ = std::make_unique<AppDelegate>(
      AppDelegate::Services{manager_, hotkey_.get(), updates_.get(), opener_,
                            [](const std::string &text) {
                              QGuiApplication::clipboard()->setText(QString::fromStdString(text));
                            },
                            [this] { showPanel(); }});

  actions_.pair = [this] { openWindow(QStringLiteral("pairing")); };
  actions_.settings = [this] { openWindow(QStringLiteral("settings")); };
  actions_.quit = [this] { quit(); };
  root_ = std::make_unique<PanelRoot>(*manager_, std::move(makePanel), actions_);
  root_->installEventFilter(this);

  // A click on one of the application's notifications opens the panel.
  manager_->setNoteClickAction([this] { showPanel(); });

  subscriptions_.push_back(observe(manager_->onlinePeerIDs, [this] { updateIcon(); }));
  subscriptions_.push_back(observe(manager_->incoming, [this] { updateIcon(); }));
}

brimvaleApp::~brimvaleApp() {
  manager_->setNoteClickAction({});
  terminate();
  subscriptions_.clear();
  tray_.reset();
  trayMenu_.reset();
  root_.reset();
}

std::vector<std::string> brimvaleApp::linksIn(const std::vector<std::string> &arguments) {
  std::vector<std::string> links;
  for (const auto &argument : arguments)
    if (QString::fromStdString(argument).startsWith(QStringLiteral("corvane:"),
                                                    Qt::CaseInsensitive))
      links.push_back(argument);
  return links;
}

void brimvaleApp::start(const std::vector<std::string> &links) {
  QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/corvane.svg")));
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setToolTip(QStringLiteral("Corvane"));
    updateIcon();
    trayMenu_.reset(makeTrayMenu([this] { showPanel(); }, actions_));
    tray_->setContextMenu(trayMenu_.get());
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              // A double click's first press already toggled.
              if (reason == QSystemTrayIcon::Trigger)
                togglePanel();
            });
    root_->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    tray_->show();
    Logger::app().notice("Tray icon registered");
  } else {
    // Nothing to click: the panel is a window of its own, shown at once.
    root_->setWindowFlags(Qt::Window);
    root_->setWindowTitle(QStringLiteral("Corvane"));
    Logger::app().notice("No system tray here; the panel opens as a window");
    showPanel();
  }
  // The first-run window, once its content is built in.
  if (!AppDelegate::isRunningTests() &&
      !manager_->standardDefaults().boolean("didOnboard").value_or(false) &&
      windows_.contains(QStringLiteral("onboarding")))
    windows_.open(QStringLiteral("onboarding"));
  delegate_->open(links);
  delegate_->applicationDidFinishLaunching();

  IntentDependencies dependencies;
  dependencies.pasteboard = std::make_shared<ClipboardPasteboard>();
  dependencies.opener = opener_;
  dependencies.openPanel = [this] { showPanel(); };
  intents_ = std::make_unique<IntentBus>(manager_, std::move(dependencies), IntentBus::Options{});
}

void brimvaleApp::receive(const std::vector<std::string> &arguments) {
  const auto links = linksIn(arguments);
  if (links.empty()) {
    showPanel();
    return;
  }
  delegate_->open(links);
}

void brimvaleApp::updateIcon() {
  if (!tray_)
    return;
  const bool online = !manager_->onlinePeerIDs->empty();
  const bool failing = hasFailingIncoming(manager_->incoming.get());
  const int state = (online ? 1 : 0) | (failing ? 2 : 0);
  if (state == iconState_)
    return;
  iconState_ = state;
  tray_->setIcon(statusIcon(online, failing, trayInk()));
}

void brimvaleApp::togglePanel() {
  if (root_->isVisible()) {
    hidePanel();
    return;
  }
  if (std::chrono::steady_clock::now() - autoHiddenAt_ < reopenGuard)
    return;
  showPanel();
}

void brimvaleApp::showPanel() {
  if (root_->isVisible()) {
    root_->raise();
    root_->activateWindow();
    return;
  }
  placePanel();
  root_->show();
  root_->raise();
  root_->activateWindow();
}

void brimvaleApp::hidePanel() {
  root_->hide();
}

void brimvaleApp::placePanel() {
  const QRect icon = tray_ ? tray_->geometry() : QRect();
  const QPoint pointer = QCursor::pos();
  const QPoint anchor = icon.isValid() && !icon.isEmpty() ? icon.center() : pointer;
  QScreen *screen = QGuiApplication::screenAt(anchor);
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  const qreal maxHeight = PanelRoot::maxPanelHeight(screen);
  if (!tray_ || !screen) {
    root_->update(maxHeight);
    root_->adjustSize();
    return;
  }
  const PanelPlacement placement(screen->availableGeometry(), icon, pointer);
  root_->update(std::min(maxHeight, static_cast<qreal>(placement.room())));
  root_->place(placement);
}

bool brimvaleApp::eventFilter(QObject *watched, QEvent *event) {
  if (watched == root_.get() && tray_) {
    if (event->type() == QEvent::WindowDeactivate) {
      // Focus went elsewhere: the panel closes, unless one of our menus or prompts took it.
      QTimer::singleShot(0, this, [this] {
        if (root_->isVisible() && !QApplication::activeWindow() &&
            !QApplication::activePopupWidget()) {
          autoHiddenAt_ = std::chrono::steady_clock::now();
          hidePanel();
        }
      });
    } else if (event->type() == QEvent::KeyPress &&
               static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
      hidePanel();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void brimvaleApp::openWindow(const QString &id) {
  hidePanel();
  windows_.open(id);
}

void brimvaleApp::quit() {
  terminate();
  QCoreApplication::quit();
}

void brimvaleApp::terminate() {
  // No caller may reach the manager while it lets go.
  intents_.reset();
  if (delegate_)
    delegate_->applicationWillTerminate();
}

} // namespace corvane
