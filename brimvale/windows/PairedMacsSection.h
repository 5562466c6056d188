#pragma once

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/windows/SettingsState.h"

#include <QWidget>
#include <functional>
#include <string>

class QLabel;
class QPushButton;

namespace corvane {

class PromptDialog;
class SectionCard;
class ServiceManager;
class SettingsWatch;

// The paired Macs of the settings: a header with their number and "Pair a Mac…", one row per
// Mac (oldest pairing first) with its colours, names, fingerprint, when it was last seen, its
// typed address and notices, and the rename, address and unpair actions with their alerts.
// Redrawn whenever the manager's paired Macs, settings, nearby Macs or security reports, or
// the window's unpair, address or rename state change. Main thread only; `manager` and
// `state` must outlive it.
class PairedMacsSection : public QWidget {
  Q_OBJECT

public:
  static constexpr const char *caption =
      "Unpairing disconnects that Mac at once. It can't see or use your ports until you pair "
      "again.";
  static constexpr const char *unreadableSentence =
      "Type an address like 192.168.1.20 or ivo-mac.local.";
  static constexpr const char *notLocalSentence =
      "Corvane only connects to Macs on your own network or VPN, not to internet addresses.";

  PairedMacsSection(ServiceManager &manager, SettingsState &state, std::function<void()> pair,
                    QWidget *parent = nullptr);

  // The first user-perceived character of a name, upper-cased; empty for an empty name.
  static QString avatarLetter(const std::string &name);
  // The text with its first user-perceived character upper-cased.
  static QString capitalizedFirst(const std::string &text);

  // The dialogs' actions, as their buttons run them.
  void saveNickname(const std::string &deviceID, const std::string &typed);
  void saveAddress(const std::string &deviceID, const std::string &typed);

  PromptDialog *renameAlert() const { return renameAlert_; }
  PromptDialog *addressAlert() const { return addressAlert_; }
  void rebuild();

private:
  QWidget *makeRow(const PairedPeer &peer);

  ServiceManager &manager_;
  SettingsState &state_;
  std::function<void()> pair_;
  QLabel *count_ = nullptr;
  SectionCard *card_ = nullptr;
  PromptDialog *renameAlert_ = nullptr;
  PromptDialog *addressAlert_ = nullptr;
  SettingsWatch *watch_ = nullptr;
};

} // namespace corvane
