#pragma once

#include "brimvale/network/ListenPorts.h"

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace corvane {

class ChipButtonStyle;
class CopyFeedback;
class SectionCard;
class ServiceManager;
class SettingsWatch;

// What paired Macs see of this Mac: its name (renamed on Return), its fingerprint with Copy,
// and the addresses a paired Mac can be given. Redrawn when the name or the gateway's port
// changes. Main thread only; `manager` must outlive it.
class ThisMacSection : public QWidget {
  Q_OBJECT

public:
  static constexpr std::uint16_t defaultGatewayPort = gatewayPreferredPort;

  // `addresses` gives this Mac's addresses each time the section is drawn.
  ThisMacSection(ServiceManager &manager, std::function<std::vector<std::string>()> addresses,
                 QWidget *parent = nullptr);

  // The fingerprint as shown and copied: grouped and upper-cased.
  QString fingerprintText() const;
  // The addresses with the gateway's port when it is not the default one.
  std::vector<std::string> addressList() const;
  // Puts the manager's name in the field, dropping what was typed.
  void resetName();
  // Return in the name field.
  void submitName();
  void copyFingerprint();
  bool copiedFingerprint() const;

  QLineEdit *nameField() const { return name_; }
  QPushButton *copyButton() const { return copy_; }
  void rebuild();

private:
  ServiceManager &manager_;
  std::function<std::vector<std::string>()> addresses_;
  QLineEdit *name_ = nullptr;
  QLabel *fingerprint_ = nullptr;
  QPushButton *copy_ = nullptr;
  ChipButtonStyle *copyStyle_ = nullptr;
  CopyFeedback *feedback_ = nullptr;
  QWidget *addressRule_ = nullptr;
  QWidget *addressRow_ = nullptr;
  QLabel *addressText_ = nullptr;
  SettingsWatch *watch_ = nullptr;
};

} // namespace corvane
