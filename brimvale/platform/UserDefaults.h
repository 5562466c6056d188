#pragma once

#include "brimvale/platform/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace corvane {

// A settings domain: one JSON object in $XDG_CONFIG_HOME/corvane/<domain>.json (else
// ~/.config), rewritten atomically on every change. Another process may write the same
// domain, so every change re-reads the file under a lock before writing it back. Reads give
// absent when the key is missing or holds another type. Safe to call from any thread.
class UserDefaults {
public:
  static constexpr const char *standardDomain = "standard";
  // Shared with the other processes of the application.
  static constexpr const char *appGroupDomain = "Q3KT7WZ2RM.corvane";
  // A settings file larger than this is not ours; it reads as empty.
  static constexpr std::size_t maximumFileSize = 16 << 20;

  explicit UserDefaults(std::string domain);
  // Keeps values for the life of the object only; for tests.
  static std::unique_ptr<UserDefaults> inMemory();

  std::optional<Bytes> data(const std::string &key) const; // Base64 text in the file
  std::optional<std::string> string(const std::string &key) const;
  std::optional<bool> boolean(const std::string &key) const;
  std::optional<std::int64_t> integer(const std::string &key) const;
  std::optional<double> doubleValue(const std::string &key) const;

  void setData(const std::string &key, const Bytes &value);
  void setString(const std::string &key, const std::string &value);
  void setBool(const std::string &key, bool value);
  void setInteger(const std::string &key, std::int64_t value);
  // A value that is not finite cannot be stored in JSON; it is refused with an error log.
  void setDouble(const std::string &key, double value);
  void remove(const std::string &key);

  // Re-reads the file, picking up what other processes wrote.
  void synchronize();

  // Empty for the in-memory variant, or when no usable folder is known.
  const std::filesystem::path &path() const { return path_; }

private:
  struct InMemory {};
  explicit UserDefaults(InMemory) {}

  std::optional<nlohmann::json> value(const std::string &key) const;
  void update(const std::string &key, std::optional<nlohmann::json> value);
  nlohmann::json readFileLocked() const;

  std::string domain_;
  std::filesystem::path path_;
  mutable std::mutex lock_;
  nlohmann::json values_ = nlohmann::json::object();
};

} // namespace corvane
