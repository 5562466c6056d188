// A paired machine's end of the wire that opens streams to a share and holds them, never reading
// from nor ending them, and then asks for one more:
//
//   hold_tool <address> <port> <own private key, hex> <gateway's public key, hex> <share> <count>
//
// prints "held <granted> of <count>; next granted" or "...; next refused <the gateway's text>"
// (or "next failed <why>") and exits, which closes them all.
#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/SerialQueue.h"

#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <vector>

using namespace corvane;

namespace {

std::optional<Bytes> fromHex(const std::string &text) {
  if (text.size() % 2 != 0)
    return std::nullopt;
  Bytes bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    char *end = nullptr;
    const std::string pair = text.substr(i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2)
      return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

using Opened = std::expected<std::shared_ptr<Connection>, ChannelError>;

} // namespace

int main(int argc, char **argv) {
  if (argc != 7)
    return 2;
  const auto host = EndpointHost::parseAddress(argv[1]);
  const auto port = static_cast<std::uint16_t>(std::strtoul(argv[2], nullptr, 10));
  const auto ownKey = fromHex(argv[3]);
  const auto gatewayKey = fromHex(argv[4]);
  const std::string share = argv[5];
  const long count = std::strtol(argv[6], nullptr, 10);
  const auto self = ownKey ? DeviceIdentity::fromPrivateKey(*ownKey) : std::nullopt;
  std::optional<PairKeys> keys;
  if (self && gatewayKey)
    if (auto derived = PairKeys::deriveKeys(*self, *gatewayKey))
      keys = *derived;
  if (!host || port == 0 || !keys || count < 0)
    return 2;

  auto queue = SerialQueue::create("hold");
  const auto open = [&] {
    // Shared with the completion, which runs on the queue after this call may have returned.
    auto opened = std::make_shared<std::promise<Opened>>();
    auto result = opened->get_future();
    SecureChannel::openClient(Endpoint::hostPort(*host, port), *keys, self->deviceID(),
                              Frame::Mode::open, share, queue,
                              [opened](Opened outcome) { opened->set_value(std::move(outcome)); });
    return result.get();
  };
  std::vector<std::shared_ptr<Connection>> held;
  for (long i = 0; i < count; ++i)
    if (auto opened = open())
      held.push_back(*opened);
  auto next = open();
  std::string outcome = "granted";
  if (!next) {
    const auto *wire = std::get_if<WireError>(&next.error());
    outcome = wire && wire->kind == WireError::Kind::rejected ? "refused " + wire->text
                                                              : "failed " + describe(next.error());
  } else {
    held.push_back(*next);
  }
  std::cout << "held " << (next ? held.size() - 1 : held.size()) << " of " << count << "; next "
            << outcome << std::endl;
  queue->sync([&] {
    for (auto &connection : held)
      connection->cancel();
  });
  return 0;
}
