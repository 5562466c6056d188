#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::testing {

// A certificate authority and a server certificate it signed for "localhost" and 127.0.0.1,
// made with OpenSSL and written as PEM files into `directory`.
struct TestCertificates {
  std::string caFile;
  std::string certificateFile;
  std::string keyFile;

  static TestCertificates make(const std::string &directory, const std::string &authorityName);
};

// A small HTTP/1.1 server on a loopback port, plain or over TLS, one connection per request.
// Every request it read is recorded; the handler chooses the answer.
class TestHttpServer {
public:
  struct Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
  };
  struct Response {
    int status = 200;
    std::string body = {};
    // Without a length the body ends when the connection closes.
    bool sendLength = true;
    // Holds the answer back until the server stops.
    bool hang = false;
    // Sent as the Location header when not empty.
    std::string location = {};
  };
  using Handler = std::function<Response(const Request &)>;

  // Plain HTTP when `certificates` is null.
  explicit TestHttpServer(Handler handler, const TestCertificates *certificates = nullptr);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer &) = delete;
  TestHttpServer &operator=(const TestHttpServer &) = delete;

  int port() const { return port_; }
  // Later TLS connections present these certificates instead.
  void useCertificates(const TestCertificates &certificates);
  std::vector<Request> requests() const;

private:
  struct Tls;

  void acceptLoop();
  void serve(int socket);

  Handler handler_;
  std::unique_ptr<Tls> tls_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  std::condition_variable stopped_;
  std::vector<Request> requests_;
  std::vector<std::thread> sessions_;
  std::thread acceptor_;
};

// A fresh folder under the system's temporary folder, removed by the destructor.
class TemporaryFolder {
public:
  TemporaryFolder();
  ~TemporaryFolder();
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

} // namespace corvane::testing
