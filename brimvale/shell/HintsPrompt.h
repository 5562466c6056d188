#pragma once

#include "brimvale/foundation/ShareModel.h"
#include "brimvale/shell/PromptDialog.h"

namespace corvane {

class ServiceManager;

// The alert in which the user edits a share's connection hints (database, user, note). It
// opens whenever the manager's `hintsPrompt` holds a share, filled with that share's stored
// hints, and clears the field when it closes; the manager cleans and cuts what is saved.
// Main thread only; the manager must outlive the alert.
class HintsPrompt : public PromptDialog {
  Q_OBJECT

public:
  explicit HintsPrompt(ServiceManager &manager, QWidget *parent = nullptr);

private:
  void fill(const ExposedService *share);
  void save(const QStringList &texts);

  ServiceManager &manager_;
};

} // namespace corvane
