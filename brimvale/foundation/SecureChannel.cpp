#include "brimvale/foundation/SecureChannel.h"

#include "brimvale/platform/Connection.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/TlsContext.h"
#include "brimvale/platform/WorkItem.h"

#include <cerrno>
#include <utility>

namespace corvane::SecureChannel {

namespace {

// Bookkeeping of one client handshake. It lives on the caller's queue only, so `finished`
// needs no lock. The connection's handler and the time-out hold it strongly until it
// finishes; finishing drops the connection and the completion so no cycle outlives it.
struct Handshake {
  PairKeys keys;
  std::string deviceID;
  Frame::Mode mode = Frame::Mode::control;
  std::optional<std::string> serviceID;
  std::shared_ptr<Connection> connection;
  OpenCompletion completion;
  WorkItem timeoutItem;
  bool challengeRequested = false;
  bool finished = false;
};

void finish(const std::shared_ptr<Handshake> &handshake, std::optional<ChannelError> failure) {
  if (handshake->finished)
    return;
  handshake->finished = true;
  handshake->timeoutItem.cancel();
  auto connection = std::move(handshake->connection);
  auto completion = std::move(handshake->completion);
  // The caller installs its own handler from the completion; ours must be gone by then.
  connection->setStateHandler(nullptr);
  if (failure) {
    connection->cancel();
    completion(std::unexpected(std::move(*failure)));
  } else {
    completion(std::move(connection));
  }
}

void awaitVerdict(const std::shared_ptr<Handshake> &handshake) {
  receiveFrame(handshake->connection, [handshake](std::expected<Frame, ChannelError> result) {
    if (handshake->finished)
      return;
    if (!result) {
      finish(handshake, std::move(result.error()));
      return;
    }
    if (result->kind == Frame::Kind::result && result->ok == true) {
      finish(handshake, std::nullopt);
      return;
    }
    finish(handshake, WireError::rejected(result->error.value_or("refused")));
  });
}

void answerChallenge(const std::shared_ptr<Handshake> &handshake,
                     const std::expected<Frame, ChannelError> &challenge) {
  if (handshake->finished)
    return;
  if (!challenge || challenge->kind != Frame::Kind::challenge || !challenge->nonce ||
      challenge->nonce->size() != challengeNonceLength) {
    finish(handshake, WireError::unexpected());
    return;
  }

  Frame hello;
  hello.kind = Frame::Kind::hello;
  hello.deviceID = handshake->deviceID;
  hello.mac = helloCode(*challenge->nonce, handshake->deviceID, handshake->keys);
  hello.mode = handshake->mode;
  if (handshake->mode == Frame::Mode::open)
    hello.serviceID = handshake->serviceID;

  auto sent =
      sendFrame(handshake->connection, hello, [handshake](std::optional<ChannelError> error) {
        if (handshake->finished)
          return;
        if (error) {
          finish(handshake, std::move(*error));
          return;
        }
        // A control connection is complete once the hello is out: the
        // gateway answers with its services frame, which the link reads.
        if (handshake->mode == Frame::Mode::control)
          finish(handshake, std::nullopt);
        else
          awaitVerdict(handshake);
      });
  if (!sent)
    finish(handshake, sent.error());
}

void onState(const std::shared_ptr<Handshake> &handshake, const Connection::State &state) {
  if (handshake->finished)
    return;
  using Kind = Connection::State::Kind;
  switch (state.kind) {
  case Kind::ready:
    if (handshake->challengeRequested)
      return;
    handshake->challengeRequested = true;
    receiveFrame(handshake->connection, [handshake](std::expected<Frame, ChannelError> challenge) {
      answerChallenge(handshake, challenge);
    });
    return;
  case Kind::waiting:
  case Kind::failed:
    // A connection waiting for a usable path is not given time to recover.
    finish(handshake, state.error.value_or(NetworkError::posix(ENOTCONN)));
    return;
  case Kind::cancelled: finish(handshake, WireError::closed()); return;
  case Kind::setup:
  case Kind::preparing: return;
  }
}

} // namespace

Parameters secureParameters(const std::vector<PSK> &keys,
                            const std::vector<std::uint16_t> &suites) {
  Parameters::Tls tls;
  for (const auto &psk : keys)
    tls.keys.push_back({psk.identity, psk.key});
  tls.cipherSuites = suites;
  tls.minimumVersion = minimumTlsVersion;

  Parameters parameters;
  parameters.tls = std::move(tls);
  parameters.keepAlive = true;
  parameters.keepAliveIdle = keepAliveIdleSeconds;
  parameters.noDelay = true;
  parameters.includePeerToPeer = true;
  return parameters;
}

void openClient(const Endpoint &endpoint, const PairKeys &keys, const std::string &deviceID,
                Frame::Mode mode, const std::optional<std::string> &serviceID,
                std::shared_ptr<SerialQueue> queue, OpenCompletion completion, double timeout,
                std::shared_ptr<TlsContext> context) {
  auto handshake = std::make_shared<Handshake>();
  handshake->keys = keys;
  handshake->deviceID = deviceID;
  handshake->mode = mode;
  handshake->serviceID = serviceID;
  handshake->completion = std::move(completion);

  // Set up on the queue itself, so that the time-out handle is in place before anything
  // that could finish the handshake runs.
  queue->post([handshake, endpoint, queue, timeout, context = std::move(context)] {
    auto parameters = secureParameters({PSK{handshake->deviceID, handshake->keys.psk}},
                                       {cipherSuites.begin(), cipherSuites.end()});
    parameters.tls->context = context;
    handshake->connection = Connection::create(endpoint, std::move(parameters));
    handshake->timeoutItem = queue->postAfter(timeout, [handshake] {
      if (!handshake->finished)
        finish(handshake, WireError::timeout());
    });
    handshake->connection->setStateHandler(
        [handshake](const Connection::State &state) { onState(handshake, state); });
    handshake->connection->start(queue);
  });
}

std::expected<std::shared_ptr<TlsContext>, NetworkError>
clientContext(const PairKeys &keys, const std::string &deviceID) {
  auto parameters =
      secureParameters({PSK{deviceID, keys.psk}}, {cipherSuites.begin(), cipherSuites.end()});
  return TlsContext::make(*parameters.tls, TlsContext::Role::client);
}

} // namespace corvane::SecureChannel
