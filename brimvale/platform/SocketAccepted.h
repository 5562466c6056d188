#pragma once

#include "brimvale/platform/Connection.h"

#include <asio/ip/tcp.hpp>
#include <memory>

namespace corvane {

class TlsContext;

// Wraps a socket that a listener accepted. The connection owns `fd` from here on and moves it
// onto the context of whatever queue it is started on; with `serverTls` it runs the server
// handshake after start.
std::shared_ptr<Connection> makeAcceptedConnection(int fd, bool ipv6, Endpoint remote,
                                                   Parameters parameters,
                                                   std::shared_ptr<TlsContext> serverTls);

// The host and port of a socket address, with IPv4-mapped IPv6 addresses given as IPv4.
Endpoint endpointOf(const asio::ip::tcp::endpoint &endpoint);

} // namespace corvane
