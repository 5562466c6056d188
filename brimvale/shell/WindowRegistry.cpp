#include "brimvale/shell/WindowRegistry.h"

#include "brimvale/platform/Logger.h"

#include <QApplication>
#include <QCursor>
#include <QLayout>
#include <QScreen>

namespace corvane {

namespace {

// In the middle of the screen the pointer is on: left to itself, a window may open at the
// screen's corner, depending on the desktop.
void centreOnScreen(QWidget &window) {
  if (window.layout())
    window.layout()->activate();
  QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  QRect frame(QPoint(), window.size());
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

} // namespace

WindowRegistry::~WindowRegistry() {
  for (auto &[id, window] : windows_)
    delete window.data();
}

std::optional<QString> WindowRegistry::title(const QString &id) {
  static const std::map<QString, QString> titles = {
      {QStringLiteral("onboarding"), QStringLiteral("Welcome to Corvane")},
      {QStringLiteral("pairing"), QStringLiteral("Pair a Mac")},
      {QStringLiteral("importer"), QStringLiteral("Import from a Compose File")},
      {QStringLiteral("explain"), QStringLiteral("Explain a Problem")},
      {QStringLiteral("settings"), QStringLiteral("Settings")},
  };
  const auto found = titles.find(id);
  return found == titles.end() ? std::nullopt : std::optional(found->second);
}

void WindowRegistry::add(const QString &id, Factory make) {
  factories_[id] = std::move(make);
}

QWidget *WindowRegistry::window(const QString &id) const {
  const auto found = windows_.find(id);
  return found == windows_.end() ? nullptr : found->second.data();
}

bool WindowRegistry::open(const QString &id) {
  QWidget *window = this->window(id);
  if (!window) {
    const auto factory = factories_.find(id);
    if (factory == factories_.end() || !factory->second) {
      Logger::app().error("No window is known by the id \"" + id.toStdString() + "\"");
      return false;
    }
    window = factory->second();
    if (!window)
      return false;
    window->setParent(nullptr, Qt::Window);
    window->setObjectName(id);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(title(id).value_or(id));
    // As large as its content, never larger.
    if (window->layout())
      window->layout()->setSizeConstraint(QLayout::SetFixedSize);
    centreOnScreen(*window);
    windows_[id] = window;
  }
  window->show();
  window->raise();
  window->activateWindow();
  return true;
}

} // namespace corvane
