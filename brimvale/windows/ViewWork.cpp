#include "brimvale/windows/ViewWork.h"

namespace corvane {

ViewWork::ViewWork(std::shared_ptr<MainQueue> main) : main_(std::move(main)) {}

ViewWork::~ViewWork() {
  cancel();
}

void ViewWork::restart() {
  cancel();
  token_ = std::make_shared<bool>(false);
}

void ViewWork::cancel() {
  if (token_)
    *token_ = true;
  token_.reset();
}

} // namespace corvane
