#include "brimvale/integrations/CorvaneShortcuts.h"

namespace corvane {

std::vector<AppShortcut> CorvaneShortcuts::appShortcuts() {
  using Intent = AppShortcut::Intent;
  using Token = AppShortcut::Token;
  const Token app{applicationToken};
  const Token port{"port"};
  return {
      {Intent::copyPortAddress,
       {{std::string("Copy a port address with "), app},
        {std::string("Copy the address of "), port, std::string(" with "), app}},
       "Copy Port Address",
       "doc.on.doc"},
      {Intent::getConnectionString,
       {{std::string("Get a connection string from "), app},
        {std::string("Get the connection string for "), port, std::string(" from "), app}},
       "Get Connection String",
       "link"},
      {Intent::openPort,
       {{std::string("Open a port with "), app},
        {std::string("Open "), port, std::string(" with "), app}},
       "Open Port",
       "arrow.up.forward.app"},
      {Intent::setSharingPaused,
       {{std::string("Pause sharing in "), app},
        {std::string("Turn "), app, std::string(" sharing "), Token{"state"}}},
       "Pause or Resume Sharing",
       "pause.circle"},
      {Intent::setEnvironment,
       {{std::string("Pause an environment in "), app},
        {std::string("Pause "), Token{"environment"}, std::string(" in "), app}},
       "Pause an Environment",
       "square.stack.3d.up"},
  };
}

std::string CorvaneShortcuts::render(const AppShortcut::Phrase &phrase) {
  std::string text;
  for (const auto &piece : phrase) {
    if (const auto *literal = std::get_if<std::string>(&piece))
      text += *literal;
    else if (const auto &token = std::get<AppShortcut::Token>(piece);
             token.name == applicationToken)
      text += applicationName;
    else
      text += "{" + token.name + "}";
  }
  return text;
}

} // namespace corvane
