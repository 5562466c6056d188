#include "brimvale/platform/SingleInstance.h"

#include "brimvale/platform/Logger.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/PrivateFiles.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/Unicode.h"

#include <array>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<sockaddr_un> socketAddress(const std::filesystem::path &path) {
  const std::string &text = path.native();
  if (text.empty() || text.size() >= sizeof(sockaddr_un::sun_path))
    return std::nullopt;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, text.data(), text.size());
  return address;
}

std::filesystem::path lockPath(const std::filesystem::path &socket) {
  return socket.string() + ".lock";
}

int remainingMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// Waits for `events` on `fd` until the deadline; false when it passed first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  pollfd entry{fd, events, 0};
  while (true) {
    const int ready = ::poll(&entry, 1, remainingMilliseconds(deadline));
    if (ready > 0)
      return true;
    if (ready == 0 || errno != EINTR)
      return false;
  }
}

std::string encode(const std::vector<std::string> &arguments) {
  std::string data;
  for (const auto &argument : arguments) {
    // A line break would split one argument into two; an empty one would end the list.
    if (argument.empty() || argument.find('\n') != std::string::npos)
      continue;
    data += argument + '\n';
  }
  return data + '\n';
}

// One start's connection: read until it closes its side, within the time limit.
struct Incoming : std::enable_shared_from_this<Incoming> {
  explicit Incoming(asio::io_context &context) : socket(context), timer(context) {}

  asio::local::stream_protocol::socket socket;
  asio::steady_timer timer;
  std::array<char, 4096> chunk{};
  std::string data;
  bool refused = false;
};

} // namespace

struct SingleInstance::Server : std::enable_shared_from_this<SingleInstance::Server> {
  Server(asio::io_context &context, MainQueue &mainQueue,
         std::function<void(std::vector<std::string>)> received)
      : context(context),
        acceptor(std::make_unique<asio::local::stream_protocol::acceptor>(context)),
        mainQueue(mainQueue), received(std::move(received)) {}

  // Only on the serial queue; reset there when the instance goes, so that no socket outlives
  // the queue's context.
  asio::io_context &context;
  std::unique_ptr<asio::local::stream_protocol::acceptor> acceptor;
  std::vector<std::weak_ptr<Incoming>> open;
  MainQueue &mainQueue;
  // Only on the main queue; cleared when the instance goes.
  std::function<void(std::vector<std::string>)> received;

  void accept() {
    auto incoming = std::make_shared<Incoming>(context);
    acceptor->async_accept(
        incoming->socket, [self = shared_from_this(), incoming](const std::error_code &error) {
          if (!self->acceptor || error == asio::error::operation_aborted)
            return;
          if (!error) {
            std::erase_if(self->open, [](const auto &each) { return each.expired(); });
            self->open.push_back(incoming);
            self->read(incoming);
          }
          self->accept();
        });
  }

  void stop() {
    acceptor.reset();
    for (const auto &each : open)
      if (const auto incoming = each.lock()) {
        incoming->timer.cancel();
        std::error_code ignored;
        incoming->socket.close(ignored);
      }
    open.clear();
  }

  void read(const std::shared_ptr<Incoming> &incoming) {
    incoming->timer.expires_after(std::chrono::seconds(readLimitSeconds));
    incoming->timer.async_wait([incoming](const std::error_code &error) {
      if (!error) {
        incoming->refused = true;
        std::error_code ignored;
        incoming->socket.close(ignored);
      }
    });
    receive(incoming);
  }

  void receive(const std::shared_ptr<Incoming> &incoming) {
    incoming->socket.async_read_some(
        asio::buffer(incoming->chunk),
        [self = shared_from_this(), incoming](const std::error_code &error, std::size_t size) {
          incoming->data.append(incoming->chunk.data(), size);
          if (incoming->data.size() > maxMessageBytes)
            incoming->refused = true;
          if (!error && !incoming->refused) {
            self->receive(incoming);
            return;
          }
          incoming->timer.cancel();
          self->finish(*incoming, error == asio::error::eof);
        });
  }

  void finish(Incoming &incoming, bool complete) {
    const auto arguments = complete && !incoming.refused
                               ? decode(incoming.data)
                               : std::optional<std::vector<std::string>>();
    // Closing tells the start that it was heard.
    std::error_code ignored;
    incoming.socket.close(ignored);
    if (!arguments) {
      // A connection that only looked whether we run says nothing.
      if (!incoming.data.empty() || incoming.refused)
        Logger::app().notice("Ignored what a later start sent: too much, too slow or not text");
      return;
    }
    mainQueue.post([self = shared_from_this(), arguments = *arguments] {
      if (self->received)
        self->received(arguments);
    });
  }
};

std::filesystem::path SingleInstance::socketPath() {
  const auto folder = runtimeFolder();
  return folder.empty() ? folder : folder / "instance";
}

SingleInstance::SingleInstance(std::filesystem::path path) : path_(std::move(path)) {}

SingleInstance::~SingleInstance() {
  stopServing();
}

void SingleInstance::stopServing() {
  if (listener_ < 0)
    return;
  // Removed first, so that a later start waits for the lock rather than for an answer.
  ::unlink(path_.c_str());
  if (server_) {
    server_->received = nullptr;
    queue_->sync([server = server_] { server->stop(); });
    server_.reset();
    queue_.reset();
  } else {
    ::close(listener_);
  }
  listener_ = -1;
}

SingleInstance::Claim SingleInstance::claim() {
  const auto address = socketAddress(path_);
  if (!address) {
    Logger::app().error("No place for the socket that keeps Corvane to one instance");
    return Claim::unavailable;
  }
  auto lock =
      std::make_unique<storage::FileLock>(lockPath(path_), O_RDWR | O_CREAT, LOCK_EX | LOCK_NB);
  if (lock->error() == EWOULDBLOCK)
    return Claim::elsewhere;
  if (lock->error() != 0) {
    Logger::app().error("Cannot lock " + lockPath(path_).string() + ": " +
                        std::strerror(lock->error()));
    return Claim::unavailable;
  }
  // Holding the lock, whatever socket is there was left by an instance that ended.
  ::unlink(path_.c_str());
  storage::FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto *raw = reinterpret_cast<const sockaddr *>(&*address);
  if (listener.get() < 0 || ::bind(listener.get(), raw, sizeof(sockaddr_un)) != 0 ||
      ::chmod(path_.c_str(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
    Logger::app().error("Cannot listen for later starts at " + path_.string() + ": " +
                        std::strerror(errno));
    return Claim::unavailable;
  }
  listener_ = listener.release();
  lock_ = std::move(lock);
  return Claim::claimed;
}

void SingleInstance::serve(MainQueue &mainQueue,
                           std::function<void(std::vector<std::string>)> received) {
  if (listener_ < 0 || server_)
    return;
  queue_ = SerialQueue::create("corvane.instance");
  auto server = std::make_shared<Server>(queue_->context(), mainQueue, std::move(received));
  std::error_code error;
  server->acceptor->assign(asio::local::stream_protocol(), listener_, error);
  if (error) {
    Logger::app().error("Cannot listen for later starts: " + error.message());
    return;
  }
  server_ = std::move(server);
  queue_->post([server = server_] { server->accept(); });
}

bool SingleInstance::handOver(const std::vector<std::string> &arguments,
                              std::chrono::milliseconds limit) const {
  const auto address = socketAddress(path_);
  if (!address)
    return false;
  const auto deadline = Clock::now() + limit;
  const std::string data = encode(arguments);
  // The running instance may have taken the lock and not yet listen: try again until then.
  while (true) {
    // Not blocking from the start: a connect to an instance whose queue of waiting starts is
    // full would otherwise wait for it without end; this way it says EAGAIN and is tried again.
    storage::FileDescriptor socket(
        ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.get() < 0)
      return false;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr *>(&*address),
                  sizeof(sockaddr_un)) == 0) {
      std::size_t sent = 0;
      while (sent < data.size()) {
        const ssize_t written =
            ::send(socket.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (written > 0)
          sent += static_cast<std::size_t>(written);
        else if (written < 0 && errno != EAGAIN && errno != EINTR)
          return false;
        else if (!waitFor(socket.get(), POLLOUT, deadline))
          return false;
      }
      ::shutdown(socket.get(), SHUT_WR);
      // It closes once it has read everything.
      char byte = 0;
      while (waitFor(socket.get(), POLLIN, deadline)) {
        const ssize_t read = ::recv(socket.get(), &byte, 1, 0);
        if (read == 0 || (read < 0 && errno == ECONNRESET))
          return true;
        if (read < 0 && errno != EAGAIN && errno != EINTR)
          return false;
      }
      return false;
    }
    if ((errno != ENOENT && errno != ECONNREFUSED && errno != EAGAIN) || Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::optional<std::vector<std::string>> SingleInstance::decode(std::string_view data) {
  if (data.size() > maxMessageBytes || validUTF8(data) != data)
    return std::nullopt;
  // Complete only with the empty line that ends the list: a connection that merely looked
  // whether we run delivers nothing.
  if (data.empty() || data.back() != '\n')
    return std::nullopt;
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = data.find('\n', start);
    const auto line = data.substr(start, end - start);
    if (line.empty())
      return end + 1 == data.size() ? std::optional(arguments) : std::nullopt;
    if (line.size() > std::size_t(maxArgumentBytes) ||
        arguments.size() >= std::size_t(maxArguments))
      return std::nullopt;
    arguments.emplace_back(line);
    start = end + 1;
  }
}

} // namespace corvane
