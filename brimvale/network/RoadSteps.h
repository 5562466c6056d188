#pragma once

#include <functional>

namespace corvane {

// How far one connection through the road has got, so that a benchmark can see where the time
// of a new connection goes. Each side reports the steps it sees, in this order.
enum class RoadStep {
  accepted, // the connection was taken from the listener
  secured,  // TLS is up (gateway)
  hello,    // the peer's hello was verified (gateway)
  verdict,  // the stream was granted and its relay starts
};

// Called on the connection's own queue, from several queues at once: it must be safe from any
// thread and quick. Empty in the application.
using RoadStepObserver = std::function<void(RoadStep step)>;

} // namespace corvane
