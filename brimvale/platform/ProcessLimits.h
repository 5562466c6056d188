#pragma once

#include <cstdint>

namespace corvane {

// Raises this process's soft limit on open descriptors to its hard limit. Every peer
// connection, relayed stream and listener holds descriptors, and the usual soft limit of 1,024
// is reached by a few busy peers; past it the gateway cannot accept a paired machine's
// connection. Call once at start, before any thread opens sockets.
//
// Returns the soft limit in force afterwards (the old one when it could not be raised) and logs
// it; never fails the start.
std::uint64_t raiseDescriptorLimit();

} // namespace corvane
