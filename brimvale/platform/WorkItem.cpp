#include "brimvale/platform/WorkItem.h"

namespace corvane {

WorkItem WorkItem::make() {
  WorkItem item;
  item.flag_ = std::make_shared<std::atomic<bool>>(false);
  return item;
}

void WorkItem::cancel() const {
  if (flag_)
    flag_->store(true);
}

bool WorkItem::isCancelled() const {
  return flag_ && flag_->load();
}

} // namespace corvane
