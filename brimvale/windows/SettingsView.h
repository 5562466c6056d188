#pragma once

#include "brimvale/windows/ActivitySection.h"
#include "brimvale/windows/SettingsState.h"
#include "brimvale/windows/ShortcutRecorder.h"

#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QScrollArea;

namespace corvane {

class PairedMacsSection;
class SectionCard;
class ServiceManager;
class SettingsWatch;
class ThisMacSection;
class TrustedNetworksSection;
class UpdateChecker;
class UserDefaults;

// The settings window's content: one page of sections ("General", "Panel", paired Macs,
// trusted networks, activity, this Mac) and a closing note, 600 points wide, scrolling inside
// 720 points when `scrolls`. Its switches are stored in the standard user defaults under their
// keys; everything else goes through the manager's operations. Main thread only; everything
// `Services` names must outlive the view.
class SettingsView : public QWidget {
  Q_OBJECT

public:
  static constexpr int pageWidth = 600;
  static constexpr int scrollHeight = 720;
  static constexpr const char *panelStyleKey = "panelStyle";
  static constexpr const char *showNetworkNameKey = "showNetworkName";
  static constexpr const char *checkForUpdatesKey = "checkForUpdates";
  static constexpr const char *networkDeniedText =
      "Corvane isn't allowed to read the Wi-Fi name from NetworkManager.";

  // What the view is built with; the application's choices where a field is left empty.
  struct Services {
    ServiceManager *manager = nullptr; // required
    UpdateChecker *updates = nullptr;  // absent: no update rows
    std::string updateHost;            // shown in the update texts
    std::optional<ShortcutRecorder::Hotkey> hotkey;
    std::optional<SettingsNetwork> network;
    // Whether the autostart entry is in place, and changing it (absent on success).
    std::function<bool()> launchAtLoginEnabled;
    std::function<std::optional<std::string>(bool)> setLaunchAtLogin;
    AccessLogDates dates;
    std::function<std::vector<std::string>()> thisMacAddresses;
    // The closing note's version; absent: the application's.
    std::optional<std::string> version;
    bool scrolls = true;
    // Opens the pairing window.
    std::function<void()> pair;
  };

  explicit SettingsView(Services services, QWidget *parent = nullptr);
  ~SettingsView() override;

  // "map" unless the stored style is "classic".
  static std::string currentPanelStyle(const UserDefaults &defaults);
  // The host name of an update address ("updates.corvane.app").
  static std::string hostOf(const std::string &address);

  // The controls' actions.
  void launchAtLoginChanged(bool on);
  void choosePanelStyle(const std::string &style);
  void showNetworkNameChanged(bool on);
  void checkForUpdatesChanged(bool on);

  const std::optional<std::string> &launchError() const { return launchError_; }
  ShortcutRecorder *recorder() const { return recorder_; }
  PairedMacsSection *pairedMacs() const { return pairedMacs_; }
  TrustedNetworksSection *trustedNetworks() const { return trustedNetworks_; }
  ActivitySection *activity() const { return activity_; }
  ThisMacSection *thisMac() const { return thisMac_; }
  SettingsState &state() { return state_; }
  QScrollArea *scrollArea() const { return scrollArea_; }
  // Redraws the general and panel sections now (they follow the update checker and the
  // stored switches).
  void rebuildGeneral();

protected:
  void showEvent(QShowEvent *event) override;
  void changeEvent(QEvent *event) override;

private:
  QWidget *panelStyleTile(const QString &style, const QString &name, const QString &caption,
                          QWidget *picture);
  QWidget *switchRow(const QString &title, const QString &detail,
                     const std::optional<QString> &warning, const QString &name, bool on,
                     std::function<void(bool)> changed);
  QWidget *updateStatusRow();

  Services services_;
  ServiceManager &manager_;
  UserDefaults &defaults_;
  SettingsNetwork network_;
  SettingsState state_;
  bool launchAtLogin_ = false;
  std::optional<std::string> launchError_;
  QScrollArea *scrollArea_ = nullptr;
  SectionCard *generalCard_ = nullptr;
  SectionCard *panelCard_ = nullptr;
  QWidget *networkRow_ = nullptr;
  ShortcutRecorder *recorder_ = nullptr;
  PairedMacsSection *pairedMacs_ = nullptr;
  TrustedNetworksSection *trustedNetworks_ = nullptr;
  ActivitySection *activity_ = nullptr;
  ThisMacSection *thisMac_ = nullptr;
  SettingsWatch *watch_ = nullptr;
};

} // namespace corvane
