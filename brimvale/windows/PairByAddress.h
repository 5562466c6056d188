#pragma once

#include "brimvale/network/ListenPorts.h"
#include "brimvale/platform/Endpoint.h"

#include <QString>
#include <QWidget>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace corvane {

class ServiceManager;

// The lower half of the pairing window while it searches: a link that opens a form for the
// other machine's address, the form (a field, "Pair" and a line under it), and the line with
// the addresses by which the other machine reaches this one. What the user typed and the last
// refusal live as long as the widget, so the pairing window keeps one for its whole life.
// Main thread only; the manager must outlive it.
class PairByAddress : public QWidget {
  Q_OBJECT

public:
  // Assumed for a typed address without a port, and left out of the "This Mac" line.
  static constexpr std::uint16_t pairingPort = pairingPreferredPort;
  static constexpr const char *linkText = "Can't see the other Mac? Pair by address\u2026";
  static constexpr const char *placeholderText = "192.168.1.20 or ivo-mac.local";
  static constexpr const char *hintText =
      "Its pairing window must be open too; the address is at the bottom of it.";
  static constexpr const char *unreadableText =
      "Type an address like 192.168.1.20 or ivo-mac.local.";
  static constexpr const char *notLocalText =
      "Corvane only connects to Macs on your own network or VPN, not to internet addresses.";

  // This machine's addresses as another machine would type them; read at each refresh.
  using Addresses = std::function<std::vector<std::string>()>;

  // Where an accepted address leads: the endpoint to call, the name to show and the host the
  // coordinator keeps with the pairing.
  struct Call {
    Endpoint endpoint;
    std::string name;
    std::string host;
    bool operator==(const Call &) const = default;
  };
  // The call a typed text makes, or the sentence that refuses it.
  static std::expected<Call, std::string> submission(std::string_view text);
  // "This Mac: " and the addresses, each with ":<port>" when the pairing listener is not on
  // the pairing port; none when there is no address.
  static std::optional<QString> thisMacLine(const std::vector<std::string> &addresses,
                                            std::optional<std::uint16_t> listenerPort);
  // A fixed sample pair, shown by a preview manager.
  static std::vector<std::string> previewAddresses();

  // Without `addresses` the real interfaces and host name are read.
  explicit PairByAddress(ServiceManager &manager, Addresses addresses = {},
                         QWidget *parent = nullptr);

  // Reads the addresses and the listener's port again.
  void refresh();
  // "Pair" and Return in the field: calls the coordinator, or shows why not.
  void submit();

  bool typingAddress() const { return typingAddress_; }
  QString address() const;
  const std::optional<QString> &addressProblem() const { return addressProblem_; }

private:
  void showForm();
  void updateForm();

  ServiceManager &manager_;
  Addresses addresses_;
  bool typingAddress_ = false;
  std::optional<QString> addressProblem_;

  QPushButton *link_;
  QWidget *form_;
  QLineEdit *field_;
  QPushButton *pair_;
  QLabel *below_;
  QLabel *thisMac_;
};

} // namespace corvane
