#include "brimvale/platform/SingleInstance.h"

#include "brimvale/platform/InstanceFolders.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/PrivateFiles.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/Unicode.h"

#include <array>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cstring>
#include <expected>
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

constexpr const char *lockName = "instance.lock";
constexpr std::string_view stoppingRecord = "stopping";
// A socket path fits well within this; anything longer is not a record of ours.
constexpr std::size_t maxRecordBytes = 512;

std::optional<sockaddr_un> socketAddress(const std::filesystem::path &path) {
  const std::string &text = path.native();
  if (text.empty() || text.size() >= sizeof(sockaddr_un::sun_path) ||
      text.find('\0') != std::string::npos)
    return std::nullopt;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, text.data(), text.size());
  return address;
}

// A listening socket at `path`, or why none can be made there. Only while holding the locks:
// whatever socket is there was left by an instance that ended.
std::expected<int, std::string> listenAt(const std::filesystem::path &path) {
  const auto address = socketAddress(path);
  if (!address)
    return std::unexpected(std::string("the path is too long for a socket"));
  ::unlink(path.c_str());
  storage::FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto *raw = reinterpret_cast<const sockaddr *>(&*address);
  if (listener.get() < 0 || ::bind(listener.get(), raw, sizeof(sockaddr_un)) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
    std::string why = std::strerror(errno);
    if (listener.get() >= 0)
      ::unlink(path.c_str());
    return std::unexpected(std::move(why));
  }
  return listener.release();
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

std::string seconds(std::chrono::milliseconds limit) {
  return std::to_string((limit.count() + 999) / 1000) + " s";
}

// Why the running instance would not take `arguments`, said before anything is sent.
std::optional<std::string> unsendable(const std::vector<std::string> &arguments) {
  int count = 0;
  for (const auto &argument : arguments) {
    if (argument.empty())
      continue;
    if (++count > SingleInstance::maxArguments)
      return "more than " + std::to_string(SingleInstance::maxArguments) + " arguments";
    if (argument.size() > std::size_t(SingleInstance::maxArgumentBytes))
      return "an argument is longer than " + std::to_string(SingleInstance::maxArgumentBytes) +
             " bytes";
    if (argument.find('\n') != std::string::npos)
      return "an argument holds a line break";
    if (validUTF8(argument) != argument)
      return "an argument is not UTF-8 text";
  }
  return std::nullopt;
}

std::string encode(const std::vector<std::string> &arguments) {
  std::string data;
  for (const auto &argument : arguments)
    // An empty one would end the list.
    if (!argument.empty())
      data += argument + '\n';
  return data + '\n';
}

std::string encode(const SingleInstance::Answer &answer) {
  switch (answer.kind) {
  case SingleInstance::Answer::Kind::taken: return "ok\n";
  case SingleInstance::Answer::Kind::stopping: return std::string(stoppingRecord) + '\n';
  case SingleInstance::Answer::Kind::refused: break;
  }
  // One line of bounded text, whatever the receiver said.
  std::string reason = removingControlCharacters(validUTF8(answer.reason));
  std::erase_if(reason, [](char c) { return c == '\n' || c == '\r'; });
  if (reason.size() > SingleInstance::maxAnswerBytes / 2)
    reason = validUTF8(reason.substr(0, SingleInstance::maxAnswerBytes / 2));
  return "refused " + reason + '\n';
}

// Where the holder of a lock file listens: "" while it starts, "stopping" while it ends.
std::string readRecord(const std::filesystem::path &lockFile) {
  const auto bytes = storage::readFile(lockFile, maxRecordBytes);
  if (!bytes || bytes->empty() || bytes->back() != '\n')
    return {};
  return std::string(bytes->begin(), bytes->end() - 1);
}

bool writeRecord(int fd, std::string_view record) {
  const std::string line = record.empty() ? std::string() : std::string(record) + '\n';
  if (::ftruncate(fd, 0) != 0)
    return false;
  return line.empty() || ::pwrite(fd, line.data(), line.size(), 0) == ssize_t(line.size());
}

// A start that closed its socket altogether gave up waiting: what it sent is not followed.
bool peerLeft(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0;
}

// One exchange with the running instance.
struct Exchange {
  enum class Kind {
    notReached, // nothing was delivered: not listening yet or any more, or its queue is full
    gone,       // it went before it answered: nothing was taken
    answered,
    noAnswer, // sent, and no answer within the limit: it may still read it, so never resend
    failed,
  };
  Kind kind = Kind::failed;
  SingleInstance::Answer answer;
  std::string problem;
};

// Ends by `deadline`, the one of the whole start: each step has only the time left.
Exchange exchange(const sockaddr_un &address, const std::string &data, Clock::time_point deadline) {
  // Not blocking from the start: a connect to an instance whose queue of waiting starts is
  // full would otherwise wait for it without end; this way it says EAGAIN and is tried again.
  storage::FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.get() < 0)
    return {Exchange::Kind::failed, {}, std::strerror(errno)};
  if (::connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED || errno == EAGAIN)
      return {Exchange::Kind::notReached, {}, std::strerror(errno)};
    return {Exchange::Kind::failed, {}, std::strerror(errno)};
  }
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t written =
        ::send(socket.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (written > 0)
      sent += static_cast<std::size_t>(written);
    else if (written < 0 && (errno == EPIPE || errno == ECONNRESET))
      return {Exchange::Kind::gone, {}, std::strerror(errno)};
    else if (written < 0 && errno != EAGAIN && errno != EINTR)
      return {Exchange::Kind::failed, {}, std::strerror(errno)};
    else if (!waitFor(socket.get(), POLLOUT, deadline))
      return {Exchange::Kind::noAnswer, {}, {}};
  }
  ::shutdown(socket.get(), SHUT_WR);
  std::string line;
  std::array<char, 256> chunk{};
  while (line.find('\n') == std::string::npos) {
    if (line.size() > SingleInstance::maxAnswerBytes)
      return {Exchange::Kind::failed, {}, "its answer is too long"};
    if (!waitFor(socket.get(), POLLIN, deadline))
      return {Exchange::Kind::noAnswer, {}, {}};
    const ssize_t read = ::recv(socket.get(), chunk.data(), chunk.size(), 0);
    if (read == 0 || (read < 0 && errno == ECONNRESET))
      return {Exchange::Kind::gone, {}, {}};
    if (read < 0 && errno != EAGAIN && errno != EINTR)
      return {Exchange::Kind::failed, {}, std::strerror(errno)};
    if (read > 0)
      line.append(chunk.data(), static_cast<std::size_t>(read));
  }
  line.erase(line.find('\n'));
  if (line == "ok")
    return {Exchange::Kind::answered, SingleInstance::Answer::taken(), {}};
  if (line == stoppingRecord)
    return {Exchange::Kind::answered, SingleInstance::Answer::stopping(), {}};
  if (line.starts_with("refused "))
    return {Exchange::Kind::answered,
            SingleInstance::Answer::refused(removingControlCharacters(validUTF8(line.substr(8)))),
            {}};
  return {Exchange::Kind::failed, {}, "it answered something this start does not understand"};
}

// One start's connection: read until it closes its side, within the time limit; then it waits
// for the main queue's answer.
struct Incoming {
  explicit Incoming(asio::io_context &context) : socket(context), timer(context) {}

  asio::local::stream_protocol::socket socket;
  asio::steady_timer timer;
  std::array<char, 4096> chunk{};
  std::string data;
  bool refused = false;
};

} // namespace

struct SingleInstance::Server : std::enable_shared_from_this<SingleInstance::Server> {
  Server(asio::io_context &context, std::weak_ptr<SerialQueue> queue, MainQueue &mainQueue,
         Receiver received)
      : context(context),
        acceptor(std::make_unique<asio::local::stream_protocol::acceptor>(context)),
        queue(std::move(queue)), mainQueue(mainQueue), received(std::move(received)) {}

  // Only on the serial queue; reset there when the instance goes, so that no socket outlives
  // the queue's context.
  asio::io_context &context;
  std::unique_ptr<asio::local::stream_protocol::acceptor> acceptor;
  // Every connection not yet answered.
  std::vector<std::shared_ptr<Incoming>> open;
  std::weak_ptr<SerialQueue> queue;
  MainQueue &mainQueue;
  // Only on the main queue; cleared when the instance stops serving.
  Receiver received;

  void accept() {
    auto incoming = std::make_shared<Incoming>(context);
    acceptor->async_accept(incoming->socket,
                           [self = shared_from_this(), incoming](const std::error_code &error) {
                             if (!self->acceptor || error == asio::error::operation_aborted)
                               return;
                             if (!error) {
                               self->open.push_back(incoming);
                               self->read(incoming);
                             }
                             self->accept();
                           });
  }

  void stop() {
    acceptor.reset();
    for (const auto &incoming : open) {
      incoming->timer.cancel();
      answer(*incoming, Answer::stopping());
    }
    open.clear();
  }

  void read(const std::shared_ptr<Incoming> &incoming) {
    incoming->timer.expires_after(std::chrono::seconds(readLimitSeconds));
    incoming->timer.async_wait([incoming](const std::error_code &error) {
      if (!error) {
        incoming->refused = true;
        std::error_code ignored;
        incoming->socket.cancel(ignored);
      }
    });
    receive(incoming);
  }

  void receive(const std::shared_ptr<Incoming> &incoming) {
    incoming->socket.async_read_some(
        asio::buffer(incoming->chunk),
        [self = shared_from_this(), incoming](const std::error_code &error, std::size_t size) {
          if (!self->acceptor)
            return;
          incoming->data.append(incoming->chunk.data(), size);
          if (incoming->data.size() > maxMessageBytes)
            incoming->refused = true;
          if (!error && !incoming->refused) {
            self->receive(incoming);
            return;
          }
          incoming->timer.cancel();
          self->finish(incoming, error == asio::error::eof);
        });
  }

  void finish(const std::shared_ptr<Incoming> &incoming, bool complete) {
    const auto arguments = complete && !incoming->refused
                               ? decode(incoming->data)
                               : std::optional<std::vector<std::string>>();
    if (!arguments) {
      // A connection that only looked whether we run says nothing.
      if (!incoming->data.empty() || incoming->refused) {
        Logger::app().notice("Ignored what a later start sent: too much, too slow or not text");
        answer(*incoming, Answer::refused("it sent too much, too slowly or not text"));
      }
      forget(incoming);
      return;
    }
    if (peerLeft(incoming->socket.native_handle())) {
      Logger::app().notice("Ignored a later start that went away before it was answered");
      forget(incoming);
      return;
    }
    std::weak_ptr<Incoming> weak = incoming;
    mainQueue.post([self = shared_from_this(), weak, arguments = *arguments] {
      const Answer reply = self->received ? self->received(arguments) : Answer::stopping();
      // Answered on the serial queue, where the socket lives; a queue already gone answered
      // "stopping" itself.
      if (const auto queue = self->queue.lock())
        queue->post([self, weak, reply] {
          if (const auto incoming = weak.lock()) {
            self->answer(*incoming, reply);
            self->forget(incoming);
          }
        });
    });
  }

  // A line that fits any socket buffer: never waits for a start that does not read.
  static void answer(Incoming &incoming, const Answer &reply) {
    const std::string line = encode(reply);
    [[maybe_unused]] const auto sent = ::send(incoming.socket.native_handle(), line.data(),
                                              line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    std::error_code ignored;
    incoming.socket.close(ignored);
  }

  void forget(const std::shared_ptr<Incoming> &incoming) {
    std::error_code ignored;
    incoming->socket.close(ignored);
    std::erase(open, incoming);
  }
};

std::vector<std::filesystem::path> SingleInstance::guardedFolders() {
  return instance::guardedFolders();
}

SingleInstance::SingleInstance(std::vector<std::filesystem::path> folders)
    : folders_(std::move(folders)) {}

SingleInstance::~SingleInstance() {
  stopServing();
}

void SingleInstance::stopServing() {
  if (listener_ < 0)
    return;
  // Said first, so that a later start that finds no socket waits for the locks rather than
  // for an answer.
  for (const auto &lock : locks_)
    writeRecord(lock->descriptor(), stoppingRecord);
  ::unlink(socketPath_.c_str());
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
  failure_.clear();
  heldElsewhere_.clear();
  if (listener_ >= 0)
    return Claim::claimed;
  if (folders_.empty()) {
    failure_ = "there is no settings or data folder (HOME is not set)";
    return Claim::unavailable;
  }
  const auto folders = instance::makeGuardedFolders(folders_);
  if (!folders) {
    failure_ = folders.error();
    return Claim::unavailable;
  }
  std::vector<std::unique_ptr<storage::FileLock>> locks;
  for (const auto &folder : *folders) {
    auto lock =
        std::make_unique<storage::FileLock>(folder / lockName, O_RDWR | O_CREAT, LOCK_EX | LOCK_NB);
    if (lock->error() == EWOULDBLOCK) {
      heldElsewhere_ = folder;
      return Claim::elsewhere;
    }
    if (lock->error() != 0 || !writeRecord(lock->descriptor(), {})) {
      const int error = lock->error() != 0 ? lock->error() : errno;
      failure_ = "cannot lock " + (folder / lockName).string() + ": " + std::strerror(error);
      return Claim::unavailable;
    }
    locks.push_back(std::move(lock));
  }

  auto path = instance::socketPlace(*folders);
  auto listener = listenAt(path);
  if (!listener) {
    const auto spare = instance::spareSocketPlace(*folders);
    if (spare.empty()) {
      failure_ = "cannot listen for later starts at " + path.string() + " (" + listener.error() +
                 ") and there is no runtime folder";
      return Claim::unavailable;
    }
    const auto spareListener = listenAt(spare);
    if (!spareListener) {
      failure_ = "cannot listen for later starts at " + path.string() + " (" + listener.error() +
                 ") nor at " + spare.string() + " (" + spareListener.error() + ")";
      return Claim::unavailable;
    }
    Logger::app().notice("Cannot listen for later starts at " + path.string() + " (" +
                         listener.error() + "): they reach this one at " + spare.string());
    path = spare;
    listener = spareListener;
  }
  for (const auto &lock : locks)
    if (!writeRecord(lock->descriptor(), path.native())) {
      failure_ =
          "cannot write where later starts reach this one: " + std::string(std::strerror(errno));
      ::unlink(path.c_str());
      ::close(*listener);
      return Claim::unavailable;
    }
  listener_ = *listener;
  locks_ = std::move(locks);
  socketPath_ = std::move(path);
  return Claim::claimed;
}

SingleInstance::Start SingleInstance::start(const std::vector<std::string> &arguments,
                                            std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const std::string data = encode(arguments);
  const std::string stillStopping =
      "is still stopping after " + seconds(limit) + "; start it again once it has ended";
  while (true) {
    switch (claim()) {
    case Claim::claimed: return {Start::Kind::run, {}};
    case Claim::unavailable:
      return {Start::Kind::failed, "Cannot make sure that Corvane runs only once: " + failure_};
    case Claim::elsewhere: break;
    }
    if (const auto problem = unsendable(arguments))
      return {Start::Kind::refused, *problem};
    const std::string record = readRecord(heldElsewhere_ / lockName);
    std::string problem;
    if (record == stoppingRecord) {
      problem = stillStopping;
    } else if (record.empty()) {
      problem = "has not said where it listens within " + seconds(limit) + "; not starting another";
    } else if (const auto address = socketAddress(record); !address) {
      problem = "its lock file " + (heldElsewhere_ / lockName).string() +
                " names no socket; not starting another";
    } else {
      const auto result = exchange(*address, data, deadline);
      using Kind = Exchange::Kind;
      switch (result.kind) {
      case Kind::answered:
        if (result.answer.kind == Answer::Kind::taken)
          return {Start::Kind::handedOver, {}};
        if (result.answer.kind == Answer::Kind::refused)
          return {Start::Kind::refused, result.answer.reason};
        // Stopping: it is waited for.
        problem = stillStopping;
        break;
      case Kind::noAnswer:
        return {Start::Kind::failed, "Corvane already runs for this user but did not answer "
                                     "within " +
                                         seconds(limit) + "; not starting another"};
      case Kind::failed:
        return {Start::Kind::failed,
                "Corvane already runs for this user but cannot be reached at " + record + ": " +
                    result.problem + "; not starting another"};
      case Kind::notReached:
      case Kind::gone:
        problem = "cannot be reached at " + record +
                  (result.problem.empty() ? std::string() : ": " + result.problem) +
                  "; not starting another";
        break;
      }
    }
    if (Clock::now() >= deadline)
      return {Start::Kind::failed, "Corvane already runs for this user but " + problem};
    std::this_thread::sleep_for(
        std::min<Clock::duration>(std::chrono::milliseconds(50), deadline - Clock::now()));
  }
}

void SingleInstance::serve(MainQueue &mainQueue, Receiver received) {
  if (listener_ < 0 || server_)
    return;
  queue_ = SerialQueue::create("corvane.instance");
  auto server = std::make_shared<Server>(queue_->context(), queue_, mainQueue, std::move(received));
  std::error_code error;
  server->acceptor->assign(asio::local::stream_protocol(), listener_, error);
  if (error) {
    Logger::app().error("Cannot listen for later starts: " + error.message());
    return;
  }
  server_ = std::move(server);
  queue_->post([server = server_] { server->accept(); });
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
