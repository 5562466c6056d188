#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::testing {

namespace {

[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error("test server: " + what);
}

struct KeyDeleter {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct CertificateDeleter {
  void operator()(X509 *certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Certificate = std::unique_ptr<X509, CertificateDeleter>;

void addExtension(X509 *certificate, X509 *issuer, int nid, const char *value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension || X509_add_ext(certificate, extension, -1) != 1)
    fail("extension");
  X509_EXTENSION_free(extension);
}

Certificate makeCertificate(EVP_PKEY *key, const std::string &commonName, X509 *issuer,
                            EVP_PKEY *issuerKey, long serial, bool authority) {
  Certificate certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400);
  X509_NAME *name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(commonName.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(certificate.get(), key);
  X509 *signer = issuer ? issuer : certificate.get();
  if (authority) {
    addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    addExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid:always");
  }
  if (X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0)
    fail("sign");
  return certificate;
}

void writeCertificate(const std::string &path, X509 *certificate) {
  FILE *file = std::fopen(path.c_str(), "w");
  if (!file || PEM_write_X509(file, certificate) != 1)
    fail("write " + path);
  std::fclose(file);
}

void writeKey(const std::string &path, EVP_PKEY *key) {
  FILE *file = std::fopen(path.c_str(), "w");
  if (!file || PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    fail("write " + path);
  std::fclose(file);
}

const char *reason(int status) {
  switch (status) {
  case 200: return "OK";
  case 304: return "Not Modified";
  case 404: return "Not Found";
  case 500: return "Internal Server Error";
  default: return "Status";
  }
}

} // namespace

TestCertificates TestCertificates::make(const std::string &directory,
                                        const std::string &authorityName) {
  Key authorityKey(EVP_EC_gen("P-256"));
  Key serverKey(EVP_EC_gen("P-256"));
  if (!authorityKey || !serverKey)
    fail("keys");
  Certificate authority =
      makeCertificate(authorityKey.get(), authorityName, nullptr, nullptr, 1, true);
  Certificate server =
      makeCertificate(serverKey.get(), "localhost", authority.get(), authorityKey.get(), 2, false);
  TestCertificates files{directory + "/" + authorityName + "-ca.pem",
                         directory + "/" + authorityName + "-server.pem",
                         directory + "/" + authorityName + "-server.key"};
  writeCertificate(files.caFile, authority.get());
  writeCertificate(files.certificateFile, server.get());
  writeKey(files.keyFile, serverKey.get());
  return files;
}

struct TestHttpServer::Tls {
  SSL_CTX *context = nullptr;
  ~Tls() { SSL_CTX_free(context); }
};

namespace {

SSL_CTX *serverContext(const TestCertificates &certificates) {
  SSL_CTX *context = SSL_CTX_new(TLS_server_method());
  if (!context ||
      SSL_CTX_use_certificate_file(context, certificates.certificateFile.c_str(),
                                   SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, certificates.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    fail("TLS context");
  return context;
}

} // namespace

void TestHttpServer::useCertificates(const TestCertificates &certificates) {
  SSL_CTX *context = serverContext(certificates);
  std::lock_guard guard(lock_);
  SSL_CTX_free(tls_->context);
  tls_->context = context;
}

TestHttpServer::TestHttpServer(Handler handler, const TestCertificates *certificates)
    : handler_(std::move(handler)) {
  std::signal(SIGPIPE, SIG_IGN);
  if (certificates) {
    tls_ = std::make_unique<Tls>();
    tls_->context = serverContext(*certificates);
  }
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
    fail("listen");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  stopped_.notify_all();
  acceptor_.join();
  for (auto &session : sessions_)
    session.join();
  ::close(listener_);
}

std::vector<TestHttpServer::Request> TestHttpServer::requests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

void TestHttpServer::acceptLoop() {
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0)
      continue;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0)
      continue;
    std::lock_guard guard(lock_);
    sessions_.emplace_back([this, socket] { serve(socket); });
  }
}

void TestHttpServer::serve(int socket) {
  // A client that goes quiet cannot keep the server from stopping.
  timeval limit{10, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  SSL *ssl = nullptr;
  if (tls_) {
    {
      std::lock_guard guard(lock_); // SSL_new takes its own reference on the context
      ssl = SSL_new(tls_->context);
    }
    SSL_set_fd(ssl, socket);
    if (SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ::close(socket);
      return;
    }
  }
  auto readSome = [&](char *buffer, int size) -> int {
    return ssl ? SSL_read(ssl, buffer, size) : static_cast<int>(::recv(socket, buffer, size, 0));
  };
  auto writeAll = [&](const std::string &bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 16384));
      const int written =
          ssl ? SSL_write(ssl, bytes.data() + sent, chunk)
              : static_cast<int>(::send(socket, bytes.data() + sent, chunk, MSG_NOSIGNAL));
      if (written <= 0)
        return;
      sent += static_cast<std::size_t>(written);
    }
  };

  std::string data;
  char buffer[8192];
  std::size_t headerEnd = std::string::npos;
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos && data.size() < 65536) {
    const int got = readSome(buffer, sizeof buffer);
    if (got <= 0)
      break;
    data.append(buffer, static_cast<std::size_t>(got));
  }
  if (headerEnd != std::string::npos) {
    Request request;
    const std::string head = data.substr(0, headerEnd);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = requestLine.substr(0, firstSpace);
    request.path = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    while (lineEnd != std::string::npos && lineEnd < head.size()) {
      const std::size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      const std::string line =
          head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
      const auto colon = line.find(':');
      if (colon == std::string::npos)
        continue;
      std::string name = line.substr(0, colon);
      for (auto &c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      request.headers[name] = value;
    }
    std::size_t bodyLength = 0;
    if (auto found = request.headers.find("content-length"); found != request.headers.end())
      bodyLength = std::stoul(found->second);
    request.body = data.substr(headerEnd + 4);
    while (request.body.size() < bodyLength) {
      const int got = readSome(buffer, sizeof buffer);
      if (got <= 0)
        break;
      request.body.append(buffer, static_cast<std::size_t>(got));
    }
    {
      std::lock_guard guard(lock_);
      requests_.push_back(request);
    }
    const Response response = handler_(request);
    if (response.hang) {
      std::unique_lock guard(lock_);
      stopped_.wait(guard, [&] { return stopping_.load(); });
    } else {
      std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                         reason(response.status) + "\r\nContent-Type: application/json\r\n";
      if (!response.location.empty())
        head += "Location: " + response.location + "\r\n";
      if (response.sendLength)
        head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
      head += "Connection: close\r\n\r\n";
      writeAll(head);
      writeAll(response.body);
    }
  }
  if (ssl) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
  }
  ::close(socket);
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    fail("temporary folder");
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

} // namespace corvane::testing
