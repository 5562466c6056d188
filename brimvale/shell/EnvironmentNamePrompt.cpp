#include "brimvale/shell/EnvironmentNamePrompt.h"

#include <QPushButton>

namespace corvane {

std::string environmentMessage(ExposedService::ValidationError error) {
  return std::string(environmentDescription(error));
}

EnvironmentNamePrompt::EnvironmentNamePrompt(ServiceManager &manager, QWidget *parent)
    : PromptDialog(parent), manager_(manager) {
  setObjectName(QStringLiteral("environmentNamePrompt"));
  setTitle(QStringLiteral("New environment"));
  setMessage(QStringLiteral(
      "Ports in an environment start and pause together, and paired Macs see them grouped."));
  addField(QStringLiteral("Name, such as Backend"));
  submit_ = addButton(QStringLiteral("Create"),
                      [this](const QStringList &texts) { submit(texts.value(0)); });
  addCancelButton(QStringLiteral("Cancel"));
  bind<EnvironmentPrompt>(manager_.environmentPrompt,
                          [this](const EnvironmentPrompt *prompt) { fill(prompt); });
}

void EnvironmentNamePrompt::fill(const EnvironmentPrompt *prompt) {
  const bool rename = prompt && prompt->kind == EnvironmentPrompt::Kind::rename;
  setTitle(rename ? QStringLiteral("Rename environment") : QStringLiteral("New environment"));
  submit_->setText(rename ? QStringLiteral("Rename") : QStringLiteral("Create"));
  setTexts({rename && prompt->environment ? QString::fromStdString(prompt->environment->name)
                                          : QString()});
}

void EnvironmentNamePrompt::submit(const QString &name) {
  // The request as it stands now, before the closing clears it.
  const auto prompt = manager_.environmentPrompt.get();
  if (!prompt)
    return;
  std::optional<ExposedService::ValidationError> error;
  if (prompt->kind == EnvironmentPrompt::Kind::rename) {
    if (!prompt->environment)
      return;
    error = manager_.renameEnvironment(prompt->environment->id, name.toStdString());
  } else {
    error = manager_.createEnvironment(name.toStdString(), {prompt->serviceID});
  }
  if (error)
    manager_.setNotice(environmentMessage(*error));
}

} // namespace corvane
