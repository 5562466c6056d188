#include "brimvale/shell/HintsPrompt.h"

#include "brimvale/manager/ServiceManager.h"

namespace corvane {

HintsPrompt::HintsPrompt(ServiceManager &manager, QWidget *parent)
    : PromptDialog(parent), manager_(manager) {
  setObjectName(QStringLiteral("hintsPrompt"));
  setTitle(QStringLiteral("Hints for this port"));
  setMessage(QStringLiteral("Paired Macs see these, and their connection strings use the "
                            "database and user. Don't put passwords here."));
  addField(QStringLiteral("Database, such as shop"));
  addField(QStringLiteral("User, such as postgres"));
  addField(QStringLiteral("Note, such as \"ask me for the password\""));
  addButton(QStringLiteral("Save"), [this](const QStringList &texts) { save(texts); });
  addCancelButton(QStringLiteral("Cancel"));
  bind<ExposedService>(manager_.hintsPrompt, [this](const ExposedService *share) { fill(share); });
}

void HintsPrompt::fill(const ExposedService *share) {
  setTitle(QStringLiteral("Hints for ") +
           (share ? QString::fromStdString(share->name) : QStringLiteral("this port")));
  const ShareHints hints = share && share->hints ? *share->hints : ShareHints{};
  const auto text = [](const std::optional<std::string> &value) {
    return value ? QString::fromStdString(*value) : QString();
  };
  setTexts({text(hints.database), text(hints.user), text(hints.note)});
}

void HintsPrompt::save(const QStringList &texts) {
  const auto share = manager_.hintsPrompt.get();
  if (!share)
    return;
  // As typed: the manager cleans each text, cuts it and drops what is left empty.
  manager_.setHints(share->id,
                    ShareHints{texts.value(0).toStdString(), texts.value(1).toStdString(),
                               texts.value(2).toStdString()});
}

} // namespace corvane
