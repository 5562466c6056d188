#pragma once

#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/catalogue/ServiceVersion.h"
#include "brimvale/shell/QtMainQueue.h"
#include "brimvale/windows/LocalProbes.h"
#include "tests/manager/ManagerFixture.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QWidget>
#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace corvane::testing {

// A loopback port that refuses every connection for as long as the object lives: bound, never
// listening, so no other process can start listening on it meanwhile.
class RefusingPort {
public:
  RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort &) = delete;
  RefusingPort &operator=(const RefusingPort &) = delete;
  int port() const { return port_; }

private:
  int fd_ = -1;
  int port_ = 0;
};

// The real probes of this machine's loopback, with the well-known ports the views ask about
// moved onto the ports of servers the test started, and every other port onto one that refuses:
// the tests see the same answers whatever else runs on the machine. Records what was asked.
class MappedProbes {
public:
  explicit MappedProbes(std::map<int, int> moved = {}) : moved_(std::move(moved)) {}

  LocalProbes probes() {
    LocalProbes made;
    made.accepts = [this](int port, double timeout, std::function<void(bool)> done) {
      note(port);
      checkPortAccepts(*pool_, real(port), timeout, std::move(done));
    };
    made.scan = [this](std::vector<int> ports, double timeout,
                       std::function<void(std::map<int, Endpoint::Host>)> done) {
      std::vector<int> reals{closed_.port()};
      std::map<int, int> asked;
      for (int port : ports) {
        note(port);
        if (moved_.contains(port)) {
          asked[port] = moved_.at(port);
          reals.push_back(moved_.at(port));
        }
      }
      scanListeningPorts(*pool_, reals, timeout,
                         [asked, done](std::map<int, Endpoint::Host> found) {
                           std::map<int, Endpoint::Host> back;
                           for (const auto &[port, realPort] : asked)
                             if (found.contains(realPort))
                               back.emplace(port, found.at(realPort));
                           done(back);
                         });
    };
    made.detectVersion = [this](const Endpoint::Host &host, int port,
                                std::function<void(std::optional<std::string>)> done) {
      ServiceVersion::detectVersion(*pool_, host, real(port), std::move(done));
    };
    return made;
  }

  std::vector<int> asked() const {
    std::lock_guard guard(lock_);
    return asked_;
  }

  int real(int port) const { return moved_.contains(port) ? moved_.at(port) : closed_.port(); }

private:
  void note(int port) {
    std::lock_guard guard(lock_);
    asked_.push_back(port);
  }

  std::map<int, int> moved_;
  RefusingPort closed_;
  mutable std::mutex lock_;
  std::vector<int> asked_;
  std::shared_ptr<ProbePool> pool_ = std::make_shared<ProbePool>(2);
};

// A manager with real state on a manual queue, and the Qt main queue on which the views' work
// reports back.
class WindowsTest : public ManagerTest {
protected:
  void SetUp() override { make(); }

  // Runs the manager's queue and Qt's events until `condition` holds (generous bound).
  template <typename Condition> bool waitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline)
        return condition();
      settle(5);
    }
    return true;
  }

  void settle(int waitMs = 0) {
    queue->runUntilIdle();
    QCoreApplication::processEvents(QEventLoop::AllEvents, waitMs);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    queue->runUntilIdle();
  }

  template <typename T> static std::vector<T *> visible(QWidget &root, const QString &name = {}) {
    std::vector<T *> found;
    for (T *each : root.findChildren<T *>(name))
      if (each->isVisibleTo(&root))
        found.push_back(each);
    return found;
  }

  template <typename T> static T *one(QWidget &root, const QString &name) {
    const auto found = visible<T>(root, name);
    return found.size() == 1 ? found.front() : nullptr;
  }

  static QString labelText(QWidget &root, const QString &name) {
    auto *label = one<QLabel>(root, name);
    return label ? label->text() : QStringLiteral("<none>");
  }

  // An incoming port of a paired Mac with this local port, as the manager publishes it.
  void carryIncoming(int localPort) {
    manager->incoming.modify([&](std::vector<IncomingService> &rows) {
      IncomingService row;
      row.key = RouteKey{"peer", "svc" + std::to_string(localPort)};
      row.peerName = "Studio";
      row.name = "Carried";
      row.remotePort = localPort;
      row.localPort = localPort;
      rows.push_back(row);
    });
  }

  std::shared_ptr<QtMainQueue> views = std::make_shared<QtMainQueue>();
};

} // namespace corvane::testing
