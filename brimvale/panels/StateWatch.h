#pragma once

#include "brimvale/platform/Published.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

namespace corvane {

class ServiceManager;
class UpdateChecker;

// Tells a panel to rebuild when the manager (or the update checker) publishes a change. The
// changes of one turn of the event loop make one rebuild, and none happens while a menu is
// open (it would close it): the rebuild waits until the menu has gone. A child of the panel,
// so its timer and its observations end with it. Main thread only; the manager and the
// update checker must outlive it.
class StateWatch : public QObject {
  Q_OBJECT

public:
  static constexpr int menuRetryMs = 100;

  StateWatch(ServiceManager &manager, UpdateChecker *updates, std::function<void()> rebuild,
             QObject *parent);

  // Asks for a rebuild on the next turn of the event loop.
  void schedule();
  bool isPending() const { return timer_.isActive(); }

private:
  template <typename T> void watch(Published<T> &field) {
    subscriptions_.push_back(std::make_shared<typename Published<T>::Subscription>(
        field.subscribe([this](const T &) { schedule(); })));
  }
  void fire();

  std::function<void()> rebuild_;
  QTimer timer_;
  std::vector<std::shared_ptr<void>> subscriptions_;
};

} // namespace corvane
