#pragma once

#include "brimvale/integrations/Explainer.h"
#include "brimvale/platform/MainQueue.h"

#include <chrono>
#include <memory>

namespace corvane {

// Whether the local model can explain a problem now, as menus ask while they are built: the
// answer of the last check, at once, and a new check on a worker when that one is older than
// `maxAge`. Unknown counts as unavailable. Main queue only; the queue must outlive it.
class ExplainerAvailability {
public:
  ExplainerAvailability(MainQueue &main, Explainer::Server server = {},
                        std::chrono::seconds maxAge = std::chrono::seconds(30));
  ~ExplainerAvailability();
  ExplainerAvailability(const ExplainerAvailability &) = delete;
  ExplainerAvailability &operator=(const ExplainerAvailability &) = delete;

  bool available();

private:
  struct State;
  std::shared_ptr<State> state_;
};

} // namespace corvane
