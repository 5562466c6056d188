#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/shell/PromptDialog.h"

#include <string_view>

class QPushButton;

namespace corvane {

class ServiceManager;

// The alert in which the user moves a paired Mac's port to another local port, or lets the
// application choose one. It opens whenever the manager's `portPrompt` holds a port, filled
// with that port's local port, and clears the field when it closes. A refused port becomes
// the manager's notice. Main thread only; the manager must outlive the alert.
class PortPrompt : public PromptDialog {
  Q_OBJECT

public:
  explicit PortPrompt(ServiceManager &manager, QWidget *parent = nullptr);

  // The typed entry as a number for the manager to check: spaces and tabs around it are
  // ignored, a sign may lead; empty, any other character or a value beyond any port is 0.
  static int parseEntry(std::string_view text);

  QPushButton *moveButton() const { return move_; }
  QPushButton *chooseButton() const { return choose_; }

private:
  void fill(const IncomingService *port);
  void apply(int port, bool automatic);

  ServiceManager &manager_;
  QPushButton *move_;
  QPushButton *choose_;
};

} // namespace corvane
