#include "brimvale/platform/BroadcastSender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

class UdpSocket : public BroadcastSender::Socket {
public:
  explicit UdpSocket(int descriptor) : descriptor_(descriptor) {}
  ~UdpSocket() override { ::close(descriptor_); }

  std::expected<std::size_t, int> send(std::uint32_t address, std::uint16_t port,
                                       const Bytes &payload) override {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = address;
    ssize_t sent = ::sendto(descriptor_, payload.data(), payload.size(), 0,
                            reinterpret_cast<const sockaddr *>(&destination), sizeof destination);
    if (sent < 0) {
      return std::unexpected(errno);
    }
    return static_cast<std::size_t>(sent);
  }

private:
  int descriptor_;
};

class RecordingSocket : public BroadcastSender::Socket {
public:
  explicit RecordingSocket(RecordingBroadcastSender &owner) : owner_(owner) {}
  ~RecordingSocket() override { ++owner_.closed; }

  std::expected<std::size_t, int> send(std::uint32_t address, std::uint16_t port,
                                       const Bytes &payload) override {
    if (owner_.sendError != 0) {
      return std::unexpected(owner_.sendError);
    }
    owner_.datagrams.push_back({address, port, payload});
    return payload.size() > owner_.shortBy ? payload.size() - owner_.shortBy : 0;
  }

private:
  RecordingBroadcastSender &owner_;
};

} // namespace

std::expected<std::unique_ptr<BroadcastSender::Socket>, int> UdpBroadcastSender::open() {
  int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (descriptor < 0) {
    return std::unexpected(errno);
  }
  int on = 1;
  (void)::setsockopt(descriptor, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  return std::make_unique<UdpSocket>(descriptor);
}

std::expected<std::unique_ptr<BroadcastSender::Socket>, int> RecordingBroadcastSender::open() {
  if (openError != 0) {
    return std::unexpected(openError);
  }
  ++opened;
  return std::make_unique<RecordingSocket>(*this);
}

} // namespace corvane
