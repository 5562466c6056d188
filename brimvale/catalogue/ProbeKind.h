#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace corvane::ServiceVersion {

// The protocol in which a running service is asked for its version. Only `json` carries a
// payload; the payload of every other case is always empty, so member-wise equality is the
// equality of kinds.
class Kind {
public:
  enum class Case : std::uint8_t {
    json,      // HTTP GET of path, JSON field key in the body; label names the product
    postgres,  // start-up message, protocol 3.0
    redis,     // INFO
    mysql,     // server greeting
    http,      // HEAD /, server or x-powered-by header
    amqp,      // 0-9-1 protocol header, Connection.Start
    mongo,     // OP_MSG buildInfo
    memcached, // version
    nats,      // INFO line
    mssql,     // PRELOGIN
  };

  static Kind json(std::string path, std::string key, std::string label) {
    Kind kind(Case::json);
    kind.path_ = std::move(path);
    kind.key_ = std::move(key);
    kind.label_ = std::move(label);
    return kind;
  }
  static Kind postgres() { return Kind(Case::postgres); }
  static Kind redis() { return Kind(Case::redis); }
  static Kind mysql() { return Kind(Case::mysql); }
  static Kind http() { return Kind(Case::http); }
  static Kind amqp() { return Kind(Case::amqp); }
  static Kind mongo() { return Kind(Case::mongo); }
  static Kind memcached() { return Kind(Case::memcached); }
  static Kind nats() { return Kind(Case::nats); }
  static Kind mssql() { return Kind(Case::mssql); }

  Case which() const noexcept { return case_; }

  // The json payload; empty for every other case.
  const std::string &path() const noexcept { return path_; }
  const std::string &key() const noexcept { return key_; }
  const std::string &label() const noexcept { return label_; }

  bool operator==(const Kind &) const = default;

private:
  explicit Kind(Case which) : case_(which) {}

  Case case_;
  std::string path_;
  std::string key_;
  std::string label_;
};

} // namespace corvane::ServiceVersion
