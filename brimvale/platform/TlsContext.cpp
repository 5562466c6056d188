#include "brimvale/platform/TlsContext.h"

#include <algorithm>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>

namespace corvane {

namespace {

// A key longer than this is refused rather than truncated.
constexpr std::size_t longestKey = PSK_MAX_PSK_LEN;

const char *cipherName(std::uint16_t suite) {
  switch (suite) {
  case 0xCCAC: return "ECDHE-PSK-CHACHA20-POLY1305";
  case 0x00A9: return "PSK-AES256-GCM-SHA384";
  default: return nullptr;
  }
}

// The slot where a context finds its keys. Asio keeps its own data in the application slot, so
// this one is registered once and never changes afterwards.
int keysIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

const TlsContext *owner(SSL *ssl) {
  return static_cast<const TlsContext *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), keysIndex()));
}

unsigned int clientKey(SSL *ssl, const char *, char *identity, unsigned int maxIdentity,
                       unsigned char *psk, unsigned int maxPsk) {
  const TlsContext *context = owner(ssl);
  if (!context || context->keys().empty())
    return 0;
  const auto &key = context->keys().front();
  if (key.identity.size() + 1 > maxIdentity || key.key.empty() || key.key.size() > maxPsk)
    return 0;
  std::memcpy(identity, key.identity.c_str(), key.identity.size() + 1);
  std::memcpy(psk, key.key.data(), key.key.size());
  return static_cast<unsigned int>(key.key.size());
}

unsigned int serverKey(SSL *ssl, const char *identity, unsigned char *psk, unsigned int maxPsk) {
  const TlsContext *context = owner(ssl);
  if (!context || !identity)
    return 0;
  // The identity comes from the unauthenticated peer: OpenSSL bounds it to PSK_MAX_IDENTITY_LEN.
  std::string_view named(identity, strnlen(identity, PSK_MAX_IDENTITY_LEN + 1));
  for (const auto &key : context->keys()) {
    if (key.identity == named) {
      if (key.key.empty() || key.key.size() > maxPsk)
        return 0;
      std::memcpy(psk, key.key.data(), key.key.size());
      return static_cast<unsigned int>(key.key.size());
    }
  }
  return 0; // an unknown identity ends the handshake
}

} // namespace

TlsContext::TlsContext(Role role, std::vector<Parameters::PreSharedKey> keys)
    : role_(role), keys_(std::move(keys)),
      context_(role == Role::client ? asio::ssl::context::tls_client
                                    : asio::ssl::context::tls_server) {}

std::expected<std::shared_ptr<TlsContext>, NetworkError>
TlsContext::make(const Parameters::Tls &tls, Role role) {
  if (tls.keys.empty())
    return std::unexpected(NetworkError::tls(0, "no pre-shared key"));
  for (const auto &key : tls.keys)
    if (key.key.empty() || key.key.size() > longestKey ||
        key.identity.size() > PSK_MAX_IDENTITY_LEN || key.identity.find('\0') != std::string::npos)
      return std::unexpected(NetworkError::tls(0, "unusable pre-shared key"));

  std::string ciphers;
  std::vector<std::uint16_t> suites = tls.cipherSuites;
  if (suites.empty())
    suites = {0xCCAC, 0x00A9};
  for (auto suite : suites)
    if (const char *name = cipherName(suite)) {
      if (!ciphers.empty())
        ciphers += ':';
      ciphers += name;
    }
  if (ciphers.empty())
    return std::unexpected(NetworkError::tls(0, "no usable cipher suite"));

  auto made = std::make_shared<TlsContext>(role, tls.keys);
  SSL_CTX *ctx = made->context_.native_handle();
  // TLS 1.2 only, as both minimum and maximum: the two suites exist only in 1.2, and the peer
  // link judges forward secrecy by seeing 0xCCAC, which a 1.3 suite would hide.
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx, ciphers.c_str()) != 1) {
    ERR_clear_error();
    return std::unexpected(NetworkError::tls(0, "cannot configure TLS"));
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  // Sessions are never resumed (no tickets, no client cache); a server cache would only hold
  // memory for every connection ever made.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (keysIndex() < 0 || SSL_CTX_set_ex_data(ctx, keysIndex(), made.get()) != 1)
    return std::unexpected(NetworkError::tls(0, "cannot configure TLS"));
  if (role == Role::client)
    SSL_CTX_set_psk_client_callback(ctx, clientKey);
  else
    SSL_CTX_set_psk_server_callback(ctx, serverKey);
  return made;
}

NetworkError tlsErrorFromLibrary(const std::error_code &error) {
  unsigned long code = ERR_get_error();
  std::string detail;
  if (code != 0) {
    char buffer[256] = {};
    ERR_error_string_n(code, buffer, sizeof buffer);
    detail = buffer;
  } else {
    detail = error.message();
  }
  ERR_clear_error();
  return NetworkError::tls(static_cast<int>(code != 0 ? ERR_GET_REASON(code) : error.value()),
                           detail);
}

} // namespace corvane
