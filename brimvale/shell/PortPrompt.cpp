#include "brimvale/shell/PortPrompt.h"

#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/manager/ServiceManager.h"

#include <QPushButton>

namespace corvane {

namespace {
// More digits than this cannot be a port; the manager refuses 0 with its own sentence.
constexpr std::size_t digitsLimit = 9;
} // namespace

PortPrompt::PortPrompt(ServiceManager &manager, QWidget *parent)
    : PromptDialog(parent), manager_(manager) {
  setObjectName(QStringLiteral("portPrompt"));
  setTitle(QStringLiteral("Local port for this port"));
  setMessage(QStringLiteral(
      "Apps on this Mac reach it at localhost and this port. Pick a free one from 1024 to 65535."));
  addField(QStringLiteral("Port, such as 25432"));
  move_ = addButton(QStringLiteral("Move"), [this](const QStringList &texts) {
    apply(parseEntry(texts.value(0).toStdString()), false);
  });
  choose_ = addButton(QStringLiteral("Let Corvane choose"),
                      [this](const QStringList &) { apply(0, true); });
  addCancelButton(QStringLiteral("Cancel"));
  bind<IncomingService>(manager_.portPrompt, [this](const IncomingService *port) { fill(port); });
}

int PortPrompt::parseEntry(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && blank(text.back()))
    text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > digitsLimit)
    return 0;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return 0;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

void PortPrompt::fill(const IncomingService *port) {
  setTitle(QStringLiteral("Local port for ") +
           (port ? QString::fromStdString(port->name) : QStringLiteral("this port")));
  setTexts({port && port->localPort ? QString::number(*port->localPort) : QString()});
  // A port already on its own number has nothing to be chosen back.
  const bool choice = port && (!port->localPort || *port->localPort != port->remotePort);
  choose_->setVisible(choice);
  setButtonsStacked(choice);
}

void PortPrompt::apply(int port, bool automatic) {
  const auto standing = manager_.portPrompt.get();
  if (!standing)
    return;
  if (auto problem =
          manager_.setLocalPort(standing->key.peerID, standing->key.serviceID, port, automatic))
    manager_.setNotice(portProblemText(port, *problem));
}

} // namespace corvane
