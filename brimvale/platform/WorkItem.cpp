#include "brimvale/platform/WorkItem.h"

namespace corvane {

WorkItem WorkItem::make() {
  return make(nullptr);
}

WorkItem WorkItem::make(std::function<void()> release) {
  WorkItem item;
  item.state_ = std::make_shared<State>();
  item.state_->release = std::move(release);
  return item;
}

void WorkItem::cancel() const {
  if (state_ && !state_->cancelled.exchange(true) && state_->release)
    state_->release();
}

bool WorkItem::isCancelled() const {
  return state_ && state_->cancelled.load();
}

} // namespace corvane
