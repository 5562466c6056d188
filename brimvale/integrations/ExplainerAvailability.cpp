#include "brimvale/integrations/ExplainerAvailability.h"

#include "brimvale/platform/SerialQueue.h"

namespace corvane {

struct ExplainerAvailability::State {
  MainQueue &main;
  Explainer::Server server;
  std::chrono::seconds maxAge;
  std::shared_ptr<SerialQueue> worker = SerialQueue::create("corvane.explain.availability");
  bool available = false;
  bool checking = false;
  std::chrono::steady_clock::time_point checkedAt{};
  bool everChecked = false;
};

ExplainerAvailability::ExplainerAvailability(MainQueue &main, Explainer::Server server,
                                             std::chrono::seconds maxAge)
    : state_(std::make_shared<State>(State{main, std::move(server), maxAge})) {}

ExplainerAvailability::~ExplainerAvailability() = default;

bool ExplainerAvailability::available() {
  auto &state = *state_;
  const auto now = std::chrono::steady_clock::now();
  if (!state.checking && (!state.everChecked || now - state.checkedAt >= state.maxAge)) {
    state.checking = true;
    // The answer is dropped when this object went first.
    std::weak_ptr<State> weak = state_;
    state.worker->post([weak, main = &state.main, server = state.server] {
      const bool answer = Explainer::isAvailable(server);
      main->post([weak, answer] {
        if (auto state = weak.lock()) {
          state->available = answer;
          state->checking = false;
          state->everChecked = true;
          state->checkedAt = std::chrono::steady_clock::now();
        }
      });
    });
  }
  return state.available;
}

} // namespace corvane
