#pragma once

#include "brimvale/platform/Bytes.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <vector>

namespace corvane {

// UDP datagrams to IPv4 broadcast addresses. Tests use RecordingBroadcastSender so that
// nothing ever reaches a real network.
class BroadcastSender {
public:
  virtual ~BroadcastSender() = default;

  // One open broadcast socket; closed when destroyed.
  class Socket {
  public:
    virtual ~Socket() = default;
    // `address` is an IPv4 address in network byte order. Gives the number of bytes the
    // system took, or the errno of the failure.
    virtual std::expected<std::size_t, int> send(std::uint32_t address, std::uint16_t port,
                                                 const Bytes &payload) = 0;
  };

  // A UDP socket with SO_BROADCAST; the errno when no socket can be made.
  virtual std::expected<std::unique_ptr<Socket>, int> open() = 0;
};

// The system's UDP sockets.
class UdpBroadcastSender : public BroadcastSender {
public:
  std::expected<std::unique_ptr<Socket>, int> open() override;
};

// Records every datagram instead of sending it; can be told to fail.
class RecordingBroadcastSender : public BroadcastSender {
public:
  struct Datagram {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    Bytes payload;
  };

  std::vector<Datagram> datagrams;
  int openError = 0;       // non-zero: open() fails with it
  int sendError = 0;       // non-zero: every send fails with it
  std::size_t shortBy = 0; // sends report this many bytes fewer than given
  int opened = 0;
  int closed = 0;

  std::expected<std::unique_ptr<Socket>, int> open() override;
};

} // namespace corvane
