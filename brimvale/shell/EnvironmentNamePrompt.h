#pragma once

#include "brimvale/foundation/ShareModel.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/PromptDialog.h"

#include <string>

class QPushButton;

namespace corvane {

// The sentence for a refused environment name (and the share wording for the port cases).
std::string environmentMessage(ExposedService::ValidationError error);

// The alert that names a new environment for a share, or renames one. It opens whenever the
// manager's `environmentPrompt` holds a request (a rename filled with the current name, a new
// one empty) and clears the request when it closes. A refused name becomes the manager's
// notice and nothing is stored. Main thread only; the manager must outlive the alert.
class EnvironmentNamePrompt : public PromptDialog {
  Q_OBJECT

public:
  explicit EnvironmentNamePrompt(ServiceManager &manager, QWidget *parent = nullptr);

  QPushButton *submitButton() const { return submit_; }

private:
  void fill(const EnvironmentPrompt *prompt);
  void submit(const QString &name);

  ServiceManager &manager_;
  QPushButton *submit_;
};

} // namespace corvane
