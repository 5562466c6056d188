#pragma once

#include "brimvale/platform/Published.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

namespace corvane {

// Rebuilds a part of the settings window when a value it shows is published anew. The
// changes of one turn of the event loop make one rebuild, and a rebuild never runs inside
// the click that caused it (the clicked button may be among what goes). A child of the part,
// so its observations end with it. Main thread only; what it watches must outlive it.
class SettingsWatch : public QObject {
  Q_OBJECT

public:
  SettingsWatch(std::function<void()> rebuild, QObject *parent);

  template <typename T> SettingsWatch &watch(Published<T> &field) {
    subscriptions_.push_back(std::make_shared<typename Published<T>::Subscription>(
        field.subscribe([this](const T &) { schedule(); })));
    return *this;
  }
  // Asks for a rebuild on the next turn of the event loop.
  void schedule();
  bool isPending() const { return timer_.isActive(); }

private:
  std::function<void()> rebuild_;
  QTimer timer_;
  std::vector<std::shared_ptr<void>> subscriptions_;
};

} // namespace corvane
