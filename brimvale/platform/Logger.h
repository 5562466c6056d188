#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The system log: one logger per category ("app", "net", "pairing"). Lines go to stderr,
// which the journal collects when the application runs as a user service.
class Logger {
public:
  enum class Level { debug, info, notice, error, fault };

  explicit Logger(std::string category);

  static Logger app();
  static Logger net();
  static Logger pairing();

  void log(Level level, std::string_view message) const;
  void debug(std::string_view message) const { log(Level::debug, message); }
  void info(std::string_view message) const { log(Level::info, message); }
  void notice(std::string_view message) const { log(Level::notice, message); }
  void error(std::string_view message) const { log(Level::error, message); }
  void fault(std::string_view message) const { log(Level::fault, message); }

  const std::string &category() const { return category_; }

private:
  std::string category_;
};

} // namespace corvane
