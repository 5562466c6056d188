#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/DnsSd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The ports a listener tries in order: the preferred port, that port plus 10, plus 20, then
// any port. An absent entry lets the system choose; so does a step that would pass 65535.
// Without a preferred port (or with 0, which already means "any") the list is just [any].
std::vector<std::optional<std::uint16_t>>
listenPortCandidates(std::optional<std::uint16_t> preferredPort);

// How the gateway and the pairing listener announce themselves: the service name and type with
// a TXT record of the protocol version "2" and this machine's device identifier.
DnsSdService advertisedService(const std::string &name, const std::string &type,
                               const Bytes &publicKey);

} // namespace corvane
