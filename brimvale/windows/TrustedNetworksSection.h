#pragma once

#include "brimvale/windows/SettingsState.h"

#include <QWidget>
#include <optional>
#include <string>

class QLabel;

namespace corvane {

class SectionCard;
class ServiceManager;
class SettingsWatch;

// The Wi-Fi networks this Mac shares on: the trusted names with their Remove buttons, which
// of them this Mac is on, and, when the current network is not trusted or cannot be read, the
// one action that helps (trust it, or the permission to read its name). Drawn from the
// manager's state at each change; keeps nothing of its own. Main thread only; `manager` and
// what `network` calls must outlive it.
class TrustedNetworksSection : public QWidget {
  Q_OBJECT

public:
  static constexpr const char *locationWarning =
      "Allow Corvane to read the Wi-Fi name from NetworkManager.";
  static constexpr const char *unreadableNetworkText =
      "This network can't be added: Corvane reads only Wi-Fi names, from NetworkManager.";

  TrustedNetworksSection(ServiceManager &manager, SettingsNetwork network,
                         QWidget *parent = nullptr);

  // Names as the manager compares them: trimmed of white space and line breaks.
  static std::string trimmedName(const std::string &name);
  // The Trust button's action: trusts the current network, or asks for the permission to
  // read its name while that was never decided.
  void trustCurrentNetwork();
  void rebuild();

private:
  QWidget *statusRow(const QString &title, const QString &detail,
                     const std::optional<QString> &warning, QWidget *button);
  QWidget *trustButton();

  ServiceManager &manager_;
  SettingsNetwork network_;
  SectionCard *card_ = nullptr;
  QLabel *caption_ = nullptr;
  SettingsWatch *watch_ = nullptr;
};

} // namespace corvane
