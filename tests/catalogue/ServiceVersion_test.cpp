#include "brimvale/catalogue/ServiceVersion.h"
#include "tests/catalogue/ServerFixture.h"
#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

using namespace ServiceVersion;
using testing::ServerFixture;
using namespace std::string_literals;

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

const Endpoint::Host ipv4 = Endpoint::Host::loopbackIPv4();

template <typename T, typename Start> T await(Start start) {
  std::promise<T> promise;
  auto future = promise.get_future();
  std::atomic<int> calls{0};
  start([&](T value) {
    if (calls.fetch_add(1) == 0)
      promise.set_value(std::move(value));
  });
  return future.get();
}

// A loopback peer that answers each connection with a script, one connection at a time.
class ScriptedPeer {
public:
  using Session = std::function<void(int fd, Bytes &received)>;

  explicit ScriptedPeer(Session session) : session_(std::move(session)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(listener_, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~ScriptedPeer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }

  int port() const { return port_; }
  int connections() const { return connections_; }
  // What the peer read, once every session accepted so far has finished (bounded wait): the
  // probe may report before the peer has noticed that it closed.
  Bytes received() {
    std::unique_lock lock(mutex_);
    finished_.wait_for(lock, corvane::testing::eventually,
                       [&] { return completed_ == connections_; });
    return received_;
  }

  // Reads what arrives within `ms` milliseconds.
  static Bytes readFor(int fd, int ms) {
    Bytes data;
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, ms) == 1) {
      std::uint8_t buffer[4096];
      ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count <= 0)
        break;
      data.insert(data.end(), buffer, buffer + count);
      ms = 20;
    }
    return data;
  }
  static void write(int fd, const Bytes &data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      ssize_t count = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (count <= 0)
        return;
      sent += static_cast<std::size_t>(count);
    }
  }

private:
  void run() {
    while (!stop_) {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 20) != 1)
        continue;
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0)
        continue;
      ++connections_;
      Bytes got;
      session_(fd, got);
      {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), got.begin(), got.end());
        ++completed_;
      }
      finished_.notify_all();
      ::close(fd);
    }
  }

  Session session_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::condition_variable finished_;
  int completed_ = 0;
  Bytes received_;
  std::thread thread_;
};

// Every prefix of a good reply, and random bytes, read as nothing or as a text.
template <typename Reader> void expectNoCrashOnCutOrGarbage(const Bytes &good, Reader reader) {
  for (std::size_t cut = 0; cut < good.size(); ++cut)
    (void)reader(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)));
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    Bytes junk(random() % 600);
    for (auto &byte : junk)
      byte = static_cast<std::uint8_t>(random());
    (void)reader(junk);
  }
  EXPECT_FALSE(reader(Bytes{}).has_value());
}

TEST(ServiceVersionText, ShortVersionAndProductNames) {
  EXPECT_EQ(shortVersion("16.4.1"), "16.4");
  EXPECT_EQ(shortVersion("7"), "7");
  EXPECT_EQ(shortVersion("2024.1"), "2024.1");
  EXPECT_EQ(shortVersion("12345.6"), std::nullopt);
  EXPECT_EQ(shortVersion("v1.2"), std::nullopt);
  EXPECT_EQ(shortVersion("8.0.36-0ubuntu"), "8.0");
  EXPECT_EQ(shortVersion("..3..4"), "3.4");
  EXPECT_EQ(shortVersion(""), std::nullopt);
  EXPECT_EQ(cleanProductName("  \x01Rabbit\tMQ  "), "RabbitMQ");
  EXPECT_EQ(cleanProductName(" \r\n "), std::nullopt);
  EXPECT_EQ(cleanProductName(std::string(40, 'x')), std::string(24, 'x'));
  EXPECT_EQ(stripControlCharacters("a\x07"
                                   "b\u200Bc"),
            "abc");
}

TEST(ServiceVersionRequests, BytesOnTheWire) {
  auto startup = makePostgresStartup("alice");
  ASSERT_EQ(startup.size(), 58u + 5u);
  EXPECT_EQ((Bytes{startup.begin(), startup.begin() + 8}), (Bytes{0, 0, 0, 63, 0, 3, 0, 0}));
  EXPECT_EQ(startup.back(), 0);
  auto mongo = makeMongoBuildInfo();
  ASSERT_EQ(mongo.size(), 56u);
  EXPECT_EQ((Bytes{mongo.begin(), mongo.begin() + 4}), (Bytes{0x38, 0, 0, 0}));
  EXPECT_EQ((Bytes{mongo.begin() + 12, mongo.begin() + 16}), (Bytes{0xDD, 0x07, 0, 0}));
  EXPECT_EQ(mongo[21], 35);
  EXPECT_EQ(mongo.back(), 0);
  auto prelogin = sqlServerPrelogin();
  ASSERT_EQ(prelogin.size(), 26u);
  EXPECT_EQ(prelogin[3], 26);
  EXPECT_EQ(textOf(makeJSONRequest("/version")),
            "GET /version HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\nConnection: "
            "close\r\n\r\n");
}

TEST(ServiceVersionReaders, PostgresAndRedis) {
  Bytes reply = text("R\0\0\0\x08\0\0\0\0S\0\0\0\x30server_version\0"
                     "16.4 (Debian 16.4-1.pgdg120+1)\0"s);
  EXPECT_EQ(readPostgresVersion(reply), "Postgres 16.4");
  Bytes crdb = text("crdb_version\0CockroachDB CCL v23.2.1 (x86_64, built 2024)\0"
                    "server_version\0"
                    "13.0.0\0"s);
  EXPECT_EQ(readPostgresVersion(crdb), "CockroachDB 23.2");
  EXPECT_EQ(readPostgresVersion(text("server_version\0"
                                     "16.4"s)),
            std::nullopt);
  expectNoCrashOnCutOrGarbage(reply, readPostgresVersion);

  Bytes info = text("$120\r\n# Server\r\nredis_version:7.2.4\r\nvalkey_version:8.0.1\r\n");
  EXPECT_EQ(readRedisVersion(info), "Valkey 8.0");
  EXPECT_EQ(readRedisVersion(text("# Server\nredis_version:7.2.4\n")), "Redis 7.2");
  EXPECT_EQ(readRedisVersion(text("-NOAUTH Authentication required.\r\n")), std::nullopt);
  expectNoCrashOnCutOrGarbage(info, readRedisVersion);
}

Bytes mysqlGreeting(std::string_view version, std::uint8_t protocol = 10) {
  Bytes packet = {0, 0, 0, 0, protocol};
  // Reserved: GCC 12 misreads the growth of a short vector as out of bounds at -O3.
  packet.reserve(packet.size() + version.size() + 1 + 40);
  packet.insert(packet.end(), version.begin(), version.end());
  packet.push_back(0);
  packet.insert(packet.end(), 40, 0x41);
  packet[0] = static_cast<std::uint8_t>(packet.size() - 4);
  return packet;
}

TEST(ServiceVersionReaders, MySQLAndMariaDBGreetings) {
  EXPECT_EQ(readMySQLVersion(mysqlGreeting("5.5.5-10.11.6-MariaDB-1")), "MariaDB 10.11");
  EXPECT_EQ(readMySQLVersion(mysqlGreeting("11.4.2-MariaDB")), "MariaDB 11.4");
  EXPECT_EQ(readMySQLVersion(mysqlGreeting("8.0.36")), "MySQL 8.0");
  EXPECT_EQ(readMySQLVersion(mysqlGreeting("8.0.36", 9)), std::nullopt);
  // A version that runs past the bytes a greeting may use has no end within them.
  EXPECT_EQ(readMySQLVersion(mysqlGreeting(std::string(200, '8'))), std::nullopt);
  expectNoCrashOnCutOrGarbage(mysqlGreeting("5.5.5-10.11.6-MariaDB-1"), readMySQLVersion);
}

Bytes amqpStart(std::optional<std::string> product, std::string version) {
  Bytes table;
  auto field = [&table](std::string key, const std::string &value) {
    table.push_back(static_cast<std::uint8_t>(key.size()));
    table.insert(table.end(), key.begin(), key.end());
    table.push_back('S');
    for (int shift = 24; shift >= 0; shift -= 8)
      table.push_back(static_cast<std::uint8_t>(value.size() >> shift));
    table.insert(table.end(), value.begin(), value.end());
  };
  field("capabilities", "x");
  if (product)
    field("product", *product);
  field("version", version);
  Bytes frame = {1, 0, 0, 0, 0, 0, 0, 0, 10, 0, 10, 0, 9};
  // Reserved: GCC 12 misreads the growth of a short vector as out of bounds at -O3.
  frame.reserve(frame.size() + table.size() + 1);
  frame.insert(frame.end(), table.begin(), table.end());
  frame.push_back(0xCE);
  return frame;
}

TEST(ServiceVersionReaders, AMQPMongoMemcached) {
  EXPECT_EQ(readAMQPVersion(amqpStart("RabbitMQ", "3.13.1")), "RabbitMQ 3.13");
  EXPECT_EQ(readAMQPVersion(amqpStart(std::nullopt, "3.12.0")), "RabbitMQ 3.12");
  EXPECT_EQ(readAMQPVersion(amqpStart("  \x01 ", "2.1")), "RabbitMQ 2.1");
  EXPECT_EQ(readAMQPVersion(amqpStart("LavinMQ", std::string(65, '1'))), std::nullopt);
  Bytes lying = amqpStart("RabbitMQ", "3.13.1");
  lying.resize(lying.size() - 4); // length says more than arrived
  EXPECT_EQ(amqpLongString(lying, "version"), std::nullopt);
  EXPECT_EQ(amqpLongString(lying, std::string(256, 'k')), std::nullopt);
  expectNoCrashOnCutOrGarbage(amqpStart("RabbitMQ", "3.13.1"), readAMQPVersion);

  Bytes mongo = text("\x02version\0\x06\0\0\0"
                     "7.0.5\0\x10ok\0"s);
  EXPECT_EQ(readMongoVersion(mongo), "MongoDB 7.0");
  EXPECT_EQ(readMongoVersion(text("\x02version\0\x06\0"s)), std::nullopt);
  expectNoCrashOnCutOrGarbage(mongo, readMongoVersion);

  EXPECT_EQ(readMemcachedVersion(text("VERSION 1.6.22\r\n")), "Memcached 1.6");
  EXPECT_EQ(readMemcachedVersion(text("ERROR\r\n")), std::nullopt);
  expectNoCrashOnCutOrGarbage(text("VERSION 1.6.22\r\n"), readMemcachedVersion);
}

TEST(ServiceVersionReaders, JSONAndNATS) {
  Bytes ok = text("HTTP/1.1 200 OK\r\n\r\n{\"name\":\"n\",\"version\" : \"v2.48.1\"}");
  EXPECT_EQ(readJSONVersion(ok, "version", "Prometheus", true), "Prometheus 2.48");
  Bytes notFound = text("HTTP/1.1 404 Not Found\r\nServer: Apache/2.4.58 (Unix)\r\n\r\n"
                        "{\"version\":\"1.0\"}");
  EXPECT_EQ(readJSONVersion(notFound, "version", "X", true), std::nullopt);
  EXPECT_EQ(readHTTPServer(notFound), "Apache 2.4");
  Bytes open =
      text("HTTP/1.1 200 OK\r\n\r\n{\"distribution\":\"opensearch\",\"number\":\"2.11.0\"}");
  EXPECT_EQ(readJSONVersion(open, "number", "Elasticsearch", true), "OpenSearch 2.11");
  // The key is literal text, not a pattern.
  EXPECT_EQ(readJSONVersion(text("HTTP/1.1 200 OK\r\n\r\n{\"aXb\":\"1.0\"}"), "a.b", "L", true),
            std::nullopt);
  EXPECT_EQ(
      readJSONVersion(text("HTTP/1.1 200 OK\r\n\r\n{\"v\":\"x\",\"v\":\"3.1\"}"), "v", "L", true),
      "L 3.1");
  // A very long version run is read without recursion and ends in nothing usable.
  Bytes longRun = text("HTTP/1.1 200 OK\r\n\r\n{\"version\":\"" + std::string(8000, '7'));
  EXPECT_EQ(readJSONVersion(longRun, "version", "L", true), std::nullopt);

  Bytes nats = text("INFO {\"server_id\":\"N\",\"version\":\"2.10.7\",\"go\":\"go1.21\"}\r\n");
  EXPECT_EQ(readNATSVersion(nats), "NATS 2.10");
  EXPECT_EQ(readNATSVersion(text("-ERR 'x'\r\n")), std::nullopt);
  expectNoCrashOnCutOrGarbage(nats, readNATSVersion);
  expectNoCrashOnCutOrGarbage(
      ok, [](const Bytes &b) { return readJSONVersion(b, "version", "P", true); });
}

Bytes preloginResponse(std::uint8_t major) {
  Bytes reply = {0x04, 0x01,  0x00, 0x25, 0x00, 0x00, 0x01, 0x00,
                 0x00, 0x00,  0x10, 0x00, 0x06, // VERSION at 16
                 0x01, 0x00,  0x16, 0x00, 0x01, // ENCRYPTION
                 0x03, 0x00,  0x17, 0x00, 0x00, // another option
                 0xFF, major, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02};
  return reply;
}

TEST(ServiceVersionReaders, SQLServerHTTPAndBanners) {
  EXPECT_EQ(readSQLServerVersion(preloginResponse(16)), "SQL Server 2022");
  EXPECT_EQ(readSQLServerVersion(preloginResponse(15)), "SQL Server 2019");
  EXPECT_EQ(readSQLServerVersion(preloginResponse(10)), std::nullopt);
  Bytes pastEnd = preloginResponse(16);
  pastEnd[10] = 0xFF; // VERSION offset beyond the payload
  EXPECT_EQ(readSQLServerVersion(pastEnd), std::nullopt);
  expectNoCrashOnCutOrGarbage(preloginResponse(16), readSQLServerVersion);

  EXPECT_EQ(readHTTPServer(text("HTTP/1.1 200 OK\r\nserver: nginx\r\n\r\n")), "nginx");
  EXPECT_EQ(readHTTPServer(text("HTTP/1.1 200 OK\r\nX-Powered-By: Express\r\n\r\n")), "Express");
  EXPECT_EQ(readHTTPServer(text("HTTP/1.1 200 OK\r\nServer: a/1\r\nServer: nginx/1.25.3\r\n\r\n")),
            "nginx 1.25");
  EXPECT_EQ(readHTTPServer(text("HTTP/1.1 200 OK\r\n\r\nServer: nginx/1.25.3\r\n")), std::nullopt);
  EXPECT_EQ(readHTTPServer(text("SSH-2.0-x\r\n")), std::nullopt);
  expectNoCrashOnCutOrGarbage(text("HTTP/1.1 200 OK\r\nServer: nginx/1.25.3\r\n\r\n"),
                              readHTTPServer);

  EXPECT_EQ(readBanner(text("SSH-2.0-OpenSSH_9.6\r\n")), "SSH");
  EXPECT_EQ(readBanner(text("220 ProFTPD Server ready\r\n")), "FTP");
  EXPECT_EQ(readBanner(text("220-mail.example ESMTP\r\n")), "SMTP");
  EXPECT_EQ(readBanner(text("+OK ready\r\n")), "POP3");
  EXPECT_EQ(readBanner(text("* OK IMAP4rev1\r\n")), "IMAP");
  EXPECT_EQ(readBanner(text("hello\r\n")), std::nullopt);
}

TEST(ServiceVersionKinds, ChoiceFollowsTheCatalogueThenTheCategory) {
  using enum ExposedService::ServiceCategory;
  EXPECT_EQ(kindFor("my thing", 5432, custom), Kind::postgres());
  EXPECT_EQ(kindFor("my thing", 41234, web), Kind::http());
  EXPECT_EQ(kindFor("my thing", 41234, api), Kind::http());
  EXPECT_EQ(kindFor("my thing", 41234, database), std::nullopt);
  EXPECT_EQ(kindFor("Cassandra", 9042, database), std::nullopt);

  // A catalogue service without a probe is never contacted.
  ScriptedPeer peer([](int, Bytes &) {});
  ProbePool pool;
  EXPECT_EQ(await<std::optional<std::string>>([&](auto done) {
              readVersion(pool, "Cassandra", peer.port(), database, ipv4, done);
            }),
            std::nullopt);
  EXPECT_EQ(peer.connections(), 0);
}

TEST(ServiceVersionExchange, EndsOnCloseLimitTimeoutAndRange) {
  ProbePool pool;
  auto run = [&](int port, std::optional<Bytes> send, double timeout, Done done) {
    return await<std::optional<Bytes>>(
        [&](auto completion) { exchange(pool, ipv4, port, send, timeout, done, completion); });
  };
  {
    ScriptedPeer greets([](int fd, Bytes &) { ScriptedPeer::write(fd, text("hello\n")); });
    EXPECT_EQ(run(greets.port(), std::nullopt, 5, nullptr), text("hello\n"));
  }
  {
    ScriptedPeer flood([](int fd, Bytes &got) {
      got = ScriptedPeer::readFor(fd, 500);
      ScriptedPeer::write(fd, Bytes(20000, 'x'));
    });
    auto reply = run(flood.port(), text("go"), 5, nullptr);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), maxReplyBytes);
    EXPECT_EQ(flood.received(), text("go"));
  }
  {
    ScriptedPeer silentClose([](int, Bytes &) {});
    EXPECT_EQ(run(silentClose.port(), std::nullopt, 5, nullptr), std::nullopt);
  }
  {
    ScriptedPeer slow([](int fd, Bytes &) {
      ScriptedPeer::write(fd, text("part"));
      ScriptedPeer::readFor(fd, 30000); // until the probe closes
    });
    auto started = std::chrono::steady_clock::now();
    // Long enough for "part" to arrive on a loaded machine; the probe then ends at its own
    // time-out, far before the peer would have closed.
    EXPECT_EQ(run(slow.port(), std::nullopt, 5, nullptr), text("part"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  }
  {
    // `done` ends the wait early; the later time-out is ignored, the completion runs once.
    std::atomic<int> calls{0};
    ScriptedPeer lingering([](int fd, Bytes &) {
      ScriptedPeer::write(fd, text("+PONG\r\n"));
      ScriptedPeer::readFor(fd, 400);
    });
    {
      ProbePool local;
      exchange(
          local, ipv4, lingering.port(), text("PING\r\n"), 0.1,
          [](const Bytes &reply) { return reply.size() >= 7; },
          [&](std::optional<Bytes>) { ++calls; });
      EXPECT_TRUE(corvane::testing::waitUntil([&] { return calls > 0; }));
      // Past the time-out, which must not complete it again.
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_EQ(calls, 1);
  }
  for (int port : {0, -1, 65536, 70000})
    EXPECT_EQ(run(port, text("x"), 1, nullptr), std::nullopt) << port;
  EXPECT_EQ(run(testing::freeLoopbackPort(), std::nullopt, 1, nullptr), std::nullopt);
}

// Scripted peers stand in where the distribution has no server.
TEST(ServiceVersionScripted, MongoSQLServerAndSSH) {
  ProbePool pool;
  using enum ExposedService::ServiceCategory;
  ScriptedPeer mongo([](int fd, Bytes &got) {
    got = ScriptedPeer::readFor(fd, 1000);
    Bytes body = text("\x02version\0\x06\0\0\0"
                      "7.0.5\0\x02gitVersion\0\x05\0\0\0"
                      "abcd\0\x01ok\0\0\0\0\0\0\0\xF0?\0"s);
    Bytes document;
    for (int shift = 0; shift < 32; shift += 8)
      document.push_back(static_cast<std::uint8_t>((body.size() + 4) >> shift));
    document.insert(document.end(), body.begin(), body.end());
    Bytes message = {0, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0xDD, 0x07, 0, 0, 0, 0, 0, 0, 0};
    message.insert(message.end(), document.begin(), document.end());
    message[0] = static_cast<std::uint8_t>(message.size());
    ScriptedPeer::write(fd, message);
    ScriptedPeer::readFor(fd, 300);
  });
  EXPECT_EQ(await<std::optional<std::string>>([&](auto done) {
              readVersion(pool, "MongoDB", mongo.port(), database, ipv4, done);
            }),
            "MongoDB 7.0");
  EXPECT_EQ(mongo.received(), makeMongoBuildInfo());

  ScriptedPeer mssql([](int fd, Bytes &got) {
    got = ScriptedPeer::readFor(fd, 1000);
    ScriptedPeer::write(fd, preloginResponse(16));
    ScriptedPeer::readFor(fd, 300);
  });
  EXPECT_EQ(await<std::optional<std::string>>([&](auto done) {
              readVersion(pool, "SQL Server", mssql.port(), database, ipv4, done);
            }),
            "SQL Server 2022");
  EXPECT_EQ(mssql.received(), sqlServerPrelogin());
  EXPECT_TRUE(await<bool>(
      [&](auto done) { checkAnswersLikeKind(pool, Kind::mssql(), ipv4, mssql.port(), done); }));

  ScriptedPeer ssh([](int fd, Bytes &got) {
    ScriptedPeer::write(fd, text("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"));
    got = ScriptedPeer::readFor(fd, 400);
  });
  EXPECT_EQ(await<std::optional<std::string>>(
                [&](auto done) { detectVersion(pool, ipv4, ssh.port(), done); }),
            "SSH");
  EXPECT_EQ(ssh.connections(), 1);
  EXPECT_TRUE(ssh.received().empty());
  EXPECT_FALSE(await<bool>(
      [&](auto done) { checkAnswersLikeKind(pool, Kind::http(), ipv4, ssh.port(), done); }));
}

// The version text the probes should read from the installed package's own version.
std::string expected(std::string product, ServerFixture::Server server) {
  auto installed = ServerFixture::installedVersion(server);
  EXPECT_FALSE(installed.empty()) << "the installed version could not be read";
  return product + " " + shortVersion(installed).value_or("?");
}

std::unique_ptr<ServerFixture> startOrFail(ServerFixture::Server server, double seconds = 60) {
  auto started = ServerFixture::start(server, seconds);
  if (!started) {
    ADD_FAILURE() << started.error();
    return nullptr;
  }
  return std::move(*started);
}

struct RealServerProbe {
  ProbePool pool{4};

  std::optional<std::string> version(const std::string &name, int port,
                                     ExposedService::ServiceCategory category) {
    return await<std::optional<std::string>>(
        [&](auto done) { readVersion(pool, name, port, category, ipv4, done); });
  }
  bool answers(const Kind &kind, int port) {
    return await<bool>([&](auto done) { checkAnswersLikeKind(pool, kind, ipv4, port, done); });
  }
  std::optional<std::string> detect(int port) {
    return await<std::optional<std::string>>(
        [&](auto done) { detectVersion(pool, ipv4, port, done); });
  }
};

using Server = ServerFixture::Server;
using enum ExposedService::ServiceCategory;

TEST(ServiceVersionRealServer, PostgreSQL) {
  auto server = startOrFail(Server::postgres);
  ASSERT_TRUE(server);
  RealServerProbe probe;
  EXPECT_EQ(probe.version("orders db", server->port(), database), std::nullopt)
      << "an unlisted port of a database share is not probed";
  EXPECT_EQ(probe.version("PostgreSQL", server->port(), database),
            expected("Postgres", Server::postgres));
  EXPECT_TRUE(probe.answers(Kind::postgres(), server->port()));
  EXPECT_FALSE(probe.answers(Kind::http(), server->port()));
}

TEST(ServiceVersionRealServer, Redis) {
  auto server = startOrFail(Server::redis);
  ASSERT_TRUE(server);
  RealServerProbe probe;
  EXPECT_EQ(probe.version("Redis", server->port(), database), expected("Redis", Server::redis));
  EXPECT_TRUE(probe.answers(Kind::redis(), server->port()));
  EXPECT_FALSE(probe.answers(Kind::http(), server->port()));
  EXPECT_EQ(probe.detect(server->port()), "Redis");
}

TEST(ServiceVersionRealServer, MariaDB) {
  auto server = startOrFail(Server::mariadb, 90);
  ASSERT_TRUE(server);
  RealServerProbe probe;
  auto wanted = expected("MariaDB", Server::mariadb);
  EXPECT_EQ(probe.version("MySQL", server->port(), database), wanted);
  EXPECT_TRUE(probe.answers(Kind::mysql(), server->port()));
  EXPECT_EQ(probe.detect(server->port()), wanted);
}

TEST(ServiceVersionRealServer, Memcached) {
  auto server = startOrFail(Server::memcached);
  ASSERT_TRUE(server);
  RealServerProbe probe;
  EXPECT_EQ(probe.version("Memcached", server->port(), database),
            expected("Memcached", Server::memcached));
  EXPECT_TRUE(probe.answers(Kind::memcached(), server->port()));
}

TEST(ServiceVersionRealServer, NATS) {
  auto server = startOrFail(Server::nats);
  ASSERT_TRUE(server);
  RealServerProbe probe;
  auto wanted = expected("NATS", Server::nats);
  EXPECT_EQ(probe.version("NATS", server->port(), messaging), wanted);
  EXPECT_TRUE(probe.answers(Kind::nats(), server->port()));
  EXPECT_EQ(probe.detect(server->port()), wanted);
}

TEST(ServiceVersionRealServer, Nginx) {
  auto server = startOrFail(Server::nginx);
  ASSERT_TRUE(server);
  RealServerProbe probe;
  auto wanted = expected("nginx", Server::nginx);
  EXPECT_EQ(probe.version("storefront", server->port(), web), wanted);
  EXPECT_EQ(probe.version("Ollama", server->port(), tool), "Ollama 0.1")
      << "the JSON status probe reads " << ServerFixture::nginxVersionBody();
  EXPECT_TRUE(probe.answers(Kind::http(), server->port()));
  EXPECT_TRUE(probe.answers(Kind::json("/api/version", "version", "Ollama"), server->port()));
  EXPECT_EQ(probe.detect(server->port()), "HTTP \u00B7 " + wanted);
}

TEST(ServiceVersionRealServer, RabbitMQ) {
  // The broker is slow to start; it gets a generous time.
  auto server = startOrFail(Server::rabbitmq, 90);
  ASSERT_TRUE(server);
  RealServerProbe probe;
  EXPECT_EQ(probe.version("RabbitMQ", server->port(), messaging),
            expected("RabbitMQ", Server::rabbitmq));
  EXPECT_TRUE(probe.answers(Kind::amqp(), server->port()));
}

} // namespace
} // namespace corvane
