#pragma once

#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

// One port offered by one paired Mac.
struct RouteKey {
  std::string peerID;
  std::string serviceID;

  // The one-text form ("<peerID>/<serviceID>") that settings maps and notification tables key by.
  std::string identifier() const { return peerID + "/" + serviceID; }

  bool operator==(const RouteKey &) const = default;
};

// A port that a paired Mac shares, as this Mac offers it locally.
struct IncomingService {
  // Only `failed` carries a sentence; it is empty for every other case, so member-wise
  // equality is the equality of states.
  class State {
  public:
    enum class Case : std::uint8_t { failed, connected, asleep, notRunning, off };

    static State failed(std::string sentence) {
      State state(Case::failed);
      state.sentence_ = std::move(sentence);
      return state;
    }
    static State connected() { return State(Case::connected); }
    static State asleep() { return State(Case::asleep); }
    static State notRunning() { return State(Case::notRunning); }
    static State off() { return State(Case::off); }

    Case which() const noexcept { return case_; }
    const std::string &sentence() const noexcept { return sentence_; }

    bool operator==(const State &) const = default;

  private:
    explicit State(Case which) : case_(which) {}

    Case case_;
    std::string sentence_;
  };

  RouteKey key;
  std::string peerName;
  std::string name;
  int remotePort = 0;
  std::optional<int> localPort;
  State state = State::off();
  std::optional<int> latencyMs;
  bool inUse = false;
  std::optional<std::string> version;
  std::optional<Date> lastSeen;
  bool justWoke = false;
  std::optional<std::string> problem; // the refusal text recorded for the route
  std::optional<std::string> environment;
  std::optional<std::string> health; // the health text the sharing Mac announced
  std::optional<ExposedService::ServiceCategory> category;
  std::optional<ShareHints> hints;

  bool operator==(const IncomingService &) const = default;
};

// A paired Mac that is using one of this Mac's shares.
struct ShareUser {
  std::string peerID;
  std::string name;
  int connections = 0;

  bool operator==(const ShareUser &) const = default;
};

// A share of this Mac with its live state.
struct OutgoingService {
  ExposedService service;
  bool running = false; // something accepted a connection on its port at the last probe
  int connections = 0;
  std::vector<ShareUser> users;
  std::optional<bool> responding; // absent until the share's kind has been checked

  bool operator==(const OutgoingService &) const = default;
};

} // namespace corvane

template <> struct std::hash<corvane::RouteKey> {
  std::size_t operator()(const corvane::RouteKey &key) const noexcept;
};
