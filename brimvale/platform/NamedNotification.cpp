#include "brimvale/platform/NamedNotification.h"

#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/PrivateFiles.h"
#include "brimvale/platform/SerialQueue.h"

#include <array>
#include <asio/local/datagram_protocol.hpp>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <expected>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace corvane {

namespace {

constexpr std::size_t maximumSocketPath = sizeof(sockaddr_un::sun_path) - 1;

std::string errorText(int error) {
  return std::string(std::strerror(error));
}

// One level below a trusted base: a real folder (not a link) of this user, narrowed to 0700.
bool makeOwnedFolder(const std::filesystem::path &folder) {
  const int error = storage::makeOwnedFolder(folder);
  if (error == ENOTDIR || error == EPERM) {
    Logger::app().error("Refusing the runtime folder " + folder.string() +
                        ": it is not a folder of this user");
  } else if (error != 0) {
    Logger::app().error("Could not make the runtime folder " + folder.string() + ": " +
                        errorText(error));
  }
  return error == 0;
}

std::optional<sockaddr_un> socketAddress(const std::filesystem::path &path) {
  const std::string &text = path.native();
  if (text.size() > maximumSocketPath) {
    return std::nullopt;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, text.data(), text.size());
  return address;
}

// This user's own folder in /tmp, whose sticky bit keeps others from replacing it once it is
// ours; one made by anybody else is refused.
std::filesystem::path temporaryFolder() {
  return std::filesystem::path("/tmp") / ("corvane-" + std::to_string(::geteuid()));
}

// Where the observers of `folder` bind when no socket can be made in it (its path too long for
// a socket address, a file system without sockets): a short folder named by a digest of its
// path, so that every process with the same runtime folder finds the same one. Made when
// `make`, else empty unless it is there.
std::filesystem::path spareFolder(const std::filesystem::path &folder, bool make) {
  const std::string &text = folder.native();
  const auto digest = sha256(Bytes(text.begin(), text.end()));
  const auto top = temporaryFolder();
  const auto spare = top / "spare" / hexText(Bytes(digest.begin(), digest.begin() + 8));
  struct stat info {};
  if (!make && ::lstat(spare.c_str(), &info) != 0) {
    return {};
  }
  // Every level checked to be a real folder of this user, whoever made it.
  if (!makeOwnedFolder(top) || !makeOwnedFolder(top / "spare") || !makeOwnedFolder(spare)) {
    return {};
  }
  return spare;
}

// Sends the notification to every socket in `folder`; how many observers it reached.
int postTo(int sender, const std::filesystem::path &folder, std::string_view name) {
  DIR *directory = ::opendir(folder.c_str());
  if (directory == nullptr) {
    Logger::app().error("Could not post notification " + std::string(name) + ": " +
                        errorText(errno));
    return 0;
  }
  int reached = 0;
  while (const dirent *entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    const auto path = folder / entry->d_name;
    if (entry->d_type != DT_SOCK) {
      struct stat info {};
      if (entry->d_type != DT_UNKNOWN || ::lstat(path.c_str(), &info) != 0 ||
          !S_ISSOCK(info.st_mode)) {
        continue;
      }
    }
    const auto address = socketAddress(path);
    if (!address) {
      continue;
    }
    const ssize_t sent =
        ::sendto(sender, name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr *>(&*address), sizeof(sockaddr_un));
    if (sent >= 0) {
      ++reached;
      continue;
    }
    switch (errno) {
    case EAGAIN:
      // Its backlog is full: it has notifications waiting, so it will be called anyway.
      ++reached;
      break;
    case ECONNREFUSED:
      // Nobody is bound to it any more: its observer ended without removing it.
      ::unlink(path.c_str());
      break;
    case ENOENT: break; // its observer removed it meanwhile
    default:
      Logger::app().error("Could not post notification " + std::string(name) + " to " +
                          path.string() + ": " + errorText(errno));
    }
  }
  ::closedir(directory);
  return reached;
}

// Binds `fd` to a socket of a new name in `folder`: its path, or why it cannot be had.
std::expected<std::filesystem::path, std::string> bindIn(int fd,
                                                         const std::filesystem::path &folder) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const auto path = folder / hexText(randomBytes(8));
    const auto address = socketAddress(path);
    if (!address) {
      return std::unexpected("the path " + path.string() + " is too long for a socket");
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&*address), sizeof(sockaddr_un)) == 0) {
      return path;
    }
    if (errno != EADDRINUSE) {
      return std::unexpected("cannot bind " + path.string() + ": " + errorText(errno));
    }
  }
  return std::unexpected(std::string("no free socket name in ") + folder.string());
}

} // namespace

bool isValidNotificationName(std::string_view name) {
  return storage::isPlainFileName(name, maximumNotificationNameLength) &&
         name.find("..") == std::string_view::npos;
}

std::filesystem::path runtimeFolder() {
  std::filesystem::path top;
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat info {};
  if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &info) == 0 &&
      S_ISDIR(info.st_mode)) {
    top = std::filesystem::path(runtime) / "corvane";
  } else {
    top = temporaryFolder();
  }
  return makeOwnedFolder(top) ? top : std::filesystem::path();
}

std::filesystem::path namedNotificationFolder(std::string_view name) {
  if (!isValidNotificationName(name)) {
    Logger::app().error("Refusing a notification name that cannot be a folder name");
    return {};
  }
  const auto top = runtimeFolder();
  if (top.empty()) {
    return {};
  }
  const auto folder = top / "notify" / std::string(name);
  if (!makeOwnedFolder(top / "notify") || !makeOwnedFolder(folder)) {
    return {};
  }
  return folder;
}

int postNamedNotification(std::string_view name) {
  const auto folder = namedNotificationFolder(name);
  if (folder.empty()) {
    return 0;
  }
  storage::FileDescriptor sender(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sender.get() < 0) {
    Logger::app().error("Could not post notification " + std::string(name) + ": " +
                        errorText(errno));
    return 0;
  }
  int reached = postTo(sender.get(), folder, name);
  if (const auto spare = spareFolder(folder, false); !spare.empty()) {
    reached += postTo(sender.get(), spare, name);
  }
  return reached;
}

struct NamedNotificationObserver::Receiver
    : std::enable_shared_from_this<NamedNotificationObserver::Receiver> {
  Receiver(MainQueue &mainQueue, std::function<void()> handler)
      : mainQueue(mainQueue), handler(std::move(handler)) {}

  // Only on the serial queue; reset there when the observer ends, so that no socket outlives
  // the queue's context.
  std::unique_ptr<asio::local::datagram_protocol::socket> socket;
  std::array<char, 256> buffer{};
  MainQueue &mainQueue;
  std::function<void()> handler; // only on the main queue
  std::atomic<bool> callPending{false};
  std::atomic<bool> alive{true};

  void receive() {
    socket->async_receive(asio::buffer(buffer),
                          [self = shared_from_this()](const std::error_code &error, std::size_t) {
                            if (!self->socket || error == asio::error::operation_aborted) {
                              return;
                            }
                            if (error) {
                              Logger::app().error("Notification socket failed: " + error.message());
                              return;
                            }
                            // Whatever else is already waiting is the same news; bounded, so that a
                            // sender that never stops cannot keep the handler from being called.
                            std::error_code drained;
                            for (int taken = 0; taken < 256 && !drained; ++taken) {
                              self->socket->receive(asio::buffer(self->buffer), 0, drained);
                            }
                            self->notify();
                            self->receive();
                          });
  }

  void notify() {
    // A call already waiting on the main queue will see this notification too.
    if (callPending.exchange(true)) {
      return;
    }
    mainQueue.post([self = shared_from_this()] {
      // Cleared before the call, so a notification arriving during it makes another call.
      self->callPending = false;
      if (self->alive) {
        self->handler();
      }
    });
  }
};

std::unique_ptr<NamedNotificationObserver>
NamedNotificationObserver::make(std::string name, MainQueue &mainQueue,
                                std::function<void()> handler) {
  const auto folder = namedNotificationFolder(name);
  if (folder.empty()) {
    return nullptr;
  }
  storage::FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    Logger::app().error("Could not observe notification " + name + ": " + errorText(errno));
    return nullptr;
  }
  auto bound = bindIn(fd.get(), folder);
  if (!bound) {
    const auto spare = spareFolder(folder, true);
    auto spareBound = spare.empty() ? bound : bindIn(fd.get(), spare);
    if (!spareBound) {
      Logger::app().error("Could not observe notification " + name + ": " + bound.error() +
                          (spare.empty() ? std::string() : ", and " + spareBound.error()));
      return nullptr;
    }
    Logger::app().notice("Observing notification " + name + " at " + spareBound->string() + ": " +
                         bound.error());
    bound = std::move(spareBound);
  }
  const auto socketPath = *bound;
  // The folder already keeps others out; the file says so too.
  ::chmod(socketPath.c_str(), 0600);

  auto queue = SerialQueue::create("corvane.notify");
  auto receiver = std::make_shared<Receiver>(mainQueue, std::move(handler));
  std::error_code error;
  receiver->socket = std::make_unique<asio::local::datagram_protocol::socket>(queue->context());
  receiver->socket->assign(asio::local::datagram_protocol(), fd.get(), error);
  if (error) {
    Logger::app().error("Could not observe notification " + name + ": " + error.message());
    ::unlink(socketPath.c_str());
    return nullptr;
  }
  fd.release();
  receiver->socket->non_blocking(true, error);
  queue->post([receiver] { receiver->receive(); });
  return std::unique_ptr<NamedNotificationObserver>(new NamedNotificationObserver(
      std::move(name), std::move(socketPath), std::move(queue), std::move(receiver)));
}

NamedNotificationObserver::NamedNotificationObserver(std::string name,
                                                     std::filesystem::path socketPath,
                                                     std::shared_ptr<SerialQueue> queue,
                                                     std::shared_ptr<Receiver> receiver)
    : name_(std::move(name)), socketPath_(std::move(socketPath)), queue_(std::move(queue)),
      receiver_(std::move(receiver)) {}

NamedNotificationObserver::~NamedNotificationObserver() {
  receiver_->alive = false;
  // Removed first, so that nobody posts to a socket about to close.
  ::unlink(socketPath_.c_str());
  queue_->sync([receiver = receiver_] { receiver->socket.reset(); });
}

} // namespace corvane
