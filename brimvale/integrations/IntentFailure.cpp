#include "brimvale/integrations/IntentFailure.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/integrations/LinkScheme.h"
#include "brimvale/platform/Unicode.h"

namespace corvane {

namespace {

// A reason closes the sentence itself when it already ends like one.
bool endsSentence(const std::string &reason) {
  if (reason.empty())
    return true;
  const auto characters = graphemeClusters(reason);
  if (characters.empty())
    return true;
  const std::string &last = characters.back();
  return last == "." || last == "\u2026" || last == "!" || last == "?";
}

// What the caller typed, as a sentence repeats it: no escape sequences, line breaks or
// direction overrides reach a dialog or a log, and no more than a link may carry.
std::string callerText(const std::string &text) {
  return cleanDisplayText(text, static_cast<int>(maxLinkPieceCharacters));
}

} // namespace

IntentFailure IntentFailure::noPortNamed(std::string portName) {
  return {Case::noPortNamed, callerText(portName)};
}
IntentFailure IntentFailure::ambiguousPort(std::string portName) {
  return {Case::ambiguousPort, callerText(portName)};
}
IntentFailure IntentFailure::away(std::string macName) {
  return {Case::away, std::move(macName)};
}
IntentFailure IntentFailure::off(std::string portName) {
  return {Case::off, std::move(portName)};
}
IntentFailure IntentFailure::notRunning(std::string portName, std::string macName) {
  return {Case::notRunning, std::move(portName), std::move(macName)};
}
IntentFailure IntentFailure::failed(std::string portName, std::string reason) {
  return {Case::failed, std::move(portName), std::move(reason)};
}
IntentFailure IntentFailure::noConnectionString(std::string portName) {
  return {Case::noConnectionString, std::move(portName)};
}
IntentFailure IntentFailure::noApp(std::string portName) {
  return {Case::noApp, std::move(portName)};
}
IntentFailure IntentFailure::unknownEnvironment(std::string environmentName) {
  return {Case::unknownEnvironment, callerText(environmentName)};
}
IntentFailure IntentFailure::unknownPort() {
  return {Case::unknownPort};
}
IntentFailure IntentFailure::unknownShare() {
  return {Case::unknownShare};
}

std::string IntentFailure::errorDescription() const {
  switch (case_) {
  case Case::noPortNamed: return "No paired Mac shares a port called \u201C" + first_ + "\u201D.";
  case Case::ambiguousPort:
    return "More than one Mac shares a port called " + first_ +
           ". Add the Mac's name to the link, as in " + first_ + "@Mac name.";
  case Case::away: return first_ + " isn't nearby right now.";
  case Case::off: return first_ + " is turned off on this Mac. Turn it on in Corvane to use it.";
  case Case::notRunning: return first_ + " isn't running on " + second_ + ".";
  case Case::failed:
    return first_ + " can't be used right now: " + second_ + (endsSentence(second_) ? "" : ".");
  case Case::noConnectionString:
    return "Corvane doesn't know what kind of service " + first_ +
           " is, so it can't write a connection string. Copy its address instead.";
  case Case::noApp: return "No app on this Mac opens " + first_ + ".";
  case Case::unknownEnvironment: return "There's no environment called \u201C" + first_ + "\u201D.";
  case Case::unknownPort:
    return "Corvane doesn't have that port any more. Its Mac may have stopped sharing it or been "
           "unpaired.";
  case Case::unknownShare: return "This Mac doesn't share that port any more.";
  }
  return "Corvane couldn't do that.";
}

std::string IntentFailure::localizedStringResource() const {
  std::string description = errorDescription();
  return description.empty() ? "Corvane couldn't do that." : description;
}

} // namespace corvane
