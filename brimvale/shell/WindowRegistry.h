#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <map>
#include <optional>

namespace corvane {

// The application's windows, opened by their ids ("onboarding", "pairing", "importer",
// "explain", "settings"). Each window's content is added once, at start, by the code that
// builds it; opening an id creates its window (or raises the one already open) and brings the
// application to the front. A closed window is destroyed, so the next opening starts afresh;
// each window is as large as its content. Main thread only; windows still open go with the
// registry.
class WindowRegistry {
public:
  // Builds a window's content; the registry makes it a window and owns it.
  using Factory = std::function<QWidget *()>;

  WindowRegistry() = default;
  ~WindowRegistry();
  WindowRegistry(const WindowRegistry &) = delete;
  WindowRegistry &operator=(const WindowRegistry &) = delete;

  // The title of a known window id: "Welcome to Corvane", "Pair a Mac", "Import from a
  // Compose File", "Explain a Problem", "Settings".
  static std::optional<QString> title(const QString &id);

  // Adds (or replaces) the content of the window `id`.
  void add(const QString &id, Factory make);
  bool contains(const QString &id) const { return factories_.contains(id); }
  // False (and logged) for an id without content.
  bool open(const QString &id);
  // The window open for `id`, or null.
  QWidget *window(const QString &id) const;

private:
  std::map<QString, Factory> factories_;
  std::map<QString, QPointer<QWidget>> windows_;
};

} // namespace corvane
