#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Why an intent or a link cannot do what it was asked, each with one English sentence for the
// user. Two failures are equal when they are the same case with the same texts.
class IntentFailure {
public:
  enum class Case : std::uint8_t {
    noPortNamed,
    ambiguousPort,
    away,
    off,
    notRunning,
    failed,
    noConnectionString,
    noApp,
    unknownEnvironment,
    unknownPort,
    unknownShare,
  };

  // The names of these three are the caller's text, kept cleaned for display.
  static IntentFailure noPortNamed(std::string portName);
  static IntentFailure ambiguousPort(std::string portName);
  static IntentFailure away(std::string macName);
  static IntentFailure off(std::string portName);
  static IntentFailure notRunning(std::string portName, std::string macName);
  static IntentFailure failed(std::string portName, std::string reason);
  static IntentFailure noConnectionString(std::string portName);
  static IntentFailure noApp(std::string portName);
  static IntentFailure unknownEnvironment(std::string environmentName);
  static IntentFailure unknownPort();
  static IntentFailure unknownShare();

  Case which() const noexcept { return case_; }
  // The case's texts in order (a port, Mac or environment name; the Mac name of notRunning or
  // the reason of failed); empty where the case has none.
  const std::string &first() const noexcept { return first_; }
  const std::string &second() const noexcept { return second_; }

  // The user's sentence.
  std::string errorDescription() const;
  // What an automation shows: the same sentence.
  std::string localizedStringResource() const;

  bool operator==(const IntentFailure &) const = default;

private:
  IntentFailure(Case which, std::string first = {}, std::string second = {})
      : case_(which), first_(std::move(first)), second_(std::move(second)) {}

  Case case_;
  std::string first_;
  std::string second_;
};

} // namespace corvane
