#include "brimvale/platform/Crypto.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

namespace corvane {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct KdfFree {
  void operator()(EVP_KDF *kdf) const { EVP_KDF_free(kdf); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX *ctx) const { EVP_KDF_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// OpenSSL's one-shot helpers take a non-null pointer even for empty input.
const unsigned char *dataOf(const Bytes &bytes) {
  static const unsigned char empty = 0;
  return bytes.empty() ? &empty : bytes.data();
}

Pkey privateKeyFrom(const Bytes &raw) {
  if (raw.size() != x25519KeyLength) {
    return nullptr;
  }
  return Pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()));
}

[[noreturn]] void randomSourceFailed() {
  std::fputs("corvane: the system random source failed\n", stderr);
  std::abort();
}

bool isBase64Alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

} // namespace

Bytes sha256(const Bytes &data) {
  Bytes digest(sha256Length);
  unsigned int length = 0;
  if (EVP_Digest(dataOf(data), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    std::abort(); // only on memory exhaustion; a wrong digest would be worse
  }
  return digest;
}

std::string hexText(const Bytes &data) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(data.size() * 2);
  for (const auto byte : data) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0f]);
  }
  return text;
}

Bytes hmacSha256(const Bytes &key, const Bytes &data) {
  Bytes mac(sha256Length);
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), dataOf(key), static_cast<int>(key.size()), dataOf(data), data.size(),
           mac.data(), &length) == nullptr) {
    std::abort();
  }
  return mac;
}

bool hmacVerify(const Bytes &key, const Bytes &data, const Bytes &mac) {
  if (mac.size() != sha256Length) {
    return false;
  }
  const Bytes expected = hmacSha256(key, data);
  return CRYPTO_memcmp(expected.data(), mac.data(), sha256Length) == 0;
}

Bytes hkdfSha256(const Bytes &ikm, const Bytes &salt, const Bytes &info, std::size_t length) {
  if (length == 0 || length > 255 * sha256Length) {
    return {};
  }
  std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
  if (!kdf) {
    return {};
  }
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) {
    return {};
  }
  char digest[] = "SHA256";
  Bytes ikmCopy = ikm, saltCopy = salt, infoCopy = info;
  OSSL_PARAM params[5];
  std::size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] =
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, ikmCopy.data(), ikmCopy.size());
  if (!saltCopy.empty()) {
    params[n++] =
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, saltCopy.data(), saltCopy.size());
  }
  if (!infoCopy.empty()) {
    params[n++] =
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, infoCopy.data(), infoCopy.size());
  }
  params[n] = OSSL_PARAM_construct_end();
  Bytes out(length);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    return {};
  }
  return out;
}

Bytes x25519GeneratePrivateKey() {
  return randomBytes(x25519KeyLength);
}

std::expected<Bytes, CryptoError> x25519PublicKey(const Bytes &privateKey) {
  Pkey key = privateKeyFrom(privateKey);
  if (!key) {
    return std::unexpected(CryptoError{"private key is not a 32-byte X25519 key"});
  }
  Bytes raw(x25519KeyLength);
  std::size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), raw.data(), &length) != 1 ||
      length != x25519KeyLength) {
    return std::unexpected(CryptoError{"public key could not be computed"});
  }
  return raw;
}

std::expected<Bytes, CryptoError> x25519SharedSecret(const Bytes &privateKey,
                                                     const Bytes &peerPublicKey) {
  Pkey key = privateKeyFrom(privateKey);
  if (!key) {
    return std::unexpected(CryptoError{"private key is not a 32-byte X25519 key"});
  }
  if (peerPublicKey.size() != x25519KeyLength) {
    return std::unexpected(CryptoError{"peer key is not 32 bytes"});
  }
  Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublicKey.data(),
                                        peerPublicKey.size()));
  if (!peer) {
    return std::unexpected(CryptoError{"peer key rejected"});
  }
  PkeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
    return std::unexpected(CryptoError{"key agreement could not start"});
  }
  Bytes secret(x25519KeyLength);
  std::size_t length = secret.size();
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != x25519KeyLength) {
    return std::unexpected(CryptoError{"key agreement failed"});
  }
  // A low-order peer key gives the all-zero secret, which anyone can compute.
  if (std::all_of(secret.begin(), secret.end(), [](std::uint8_t b) { return b == 0; })) {
    return std::unexpected(CryptoError{"key agreement gave the all-zero secret"});
  }
  return secret;
}

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t chunk = std::min<std::size_t>(count - done, 1 << 20);
    if (RAND_bytes(out.data() + done, static_cast<int>(chunk)) != 1) {
      randomSourceFailed();
    }
    done += chunk;
  }
  return out;
}

std::string base64Encode(const Bytes &data) {
  if (data.empty()) {
    return {};
  }
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  std::size_t done = 0, written = 0;
  // EVP_EncodeBlock takes an int length; feed it whole 3-byte groups.
  while (done < data.size()) {
    const std::size_t chunk = std::min<std::size_t>(data.size() - done, 3 * (1 << 20));
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data() + written),
                                  data.data() + done, static_cast<int>(chunk));
    written += static_cast<std::size_t>(n);
    done += chunk;
  }
  out.resize(written);
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  if (text.empty()) {
    return Bytes{};
  }
  std::size_t padding = 0;
  if (text.back() == '=') {
    padding = text[text.size() - 2] == '=' ? 2 : 1;
  }
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!isBase64Alphabet(text[i])) {
      return std::nullopt;
    }
  }
  // The checks above leave EVP_DecodeBlock nothing to be lenient about.
  Bytes out(text.size() / 4 * 3);
  std::size_t done = 0, written = 0;
  while (done < text.size()) {
    const std::size_t chunk = std::min<std::size_t>(text.size() - done, 4 * (1 << 20));
    const int n = EVP_DecodeBlock(out.data() + written,
                                  reinterpret_cast<const unsigned char *>(text.data() + done),
                                  static_cast<int>(chunk));
    if (n < 0) {
      return std::nullopt;
    }
    written += static_cast<std::size_t>(n);
    done += chunk;
  }
  out.resize(written - padding);
  return out;
}

} // namespace corvane
