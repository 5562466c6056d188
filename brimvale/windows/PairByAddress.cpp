#include "brimvale/windows/PairByAddress.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/manager/SharingState.h"
#include "brimvale/network/Addresses.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/PromptDialog.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/shell/WindowButtonStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvane {

namespace {

constexpr int fieldWidth = 250;
constexpr int controlHeight = 28;

QString joined(const std::vector<std::string> &texts) {
  QStringList list;
  for (const auto &text : texts)
    list << QString::fromStdString(text);
  return list.join(QStringLiteral(", "));
}

} // namespace

std::expected<PairByAddress::Call, std::string> PairByAddress::submission(std::string_view text) {
  const auto parsed = ManualAddress::parseManualAddress(text);
  if (!parsed)
    return std::unexpected(parsed.error() == ManualAddress::Problem::notLocal ? notLocalText
                                                                              : unreadableText);
  return Call{ManualAddress::endpoint(parsed->host, parsed->port, pairingPort),
              ManualAddress::displayText(parsed->host, parsed->port), parsed->host};
}

std::optional<QString> PairByAddress::thisMacLine(const std::vector<std::string> &addresses,
                                                  std::optional<std::uint16_t> listenerPort) {
  const auto shown = addPortToAddresses(addresses, listenerPort, pairingPort);
  if (shown.empty())
    return std::nullopt;
  return QStringLiteral("This Mac: ") + joined(shown);
}

std::vector<std::string> PairByAddress::previewAddresses() {
  return {"192.168.1.24", "studio-mac.local"};
}

PairByAddress::PairByAddress(ServiceManager &manager, Addresses addresses, QWidget *parent)
    : QWidget(parent), manager_(manager), addresses_(std::move(addresses)) {
  setObjectName(QStringLiteral("pairByAddress"));
  if (!addresses_)
    addresses_ = manager_.preview() ? Addresses(previewAddresses)
                                    : Addresses([] { return LocalAddresses::thisMacAddresses(); });

  auto *column = panelkit::column(this, 8);

  link_ = panelkit::textButton(QString::fromUtf8(linkText), Theme::system(11.5),
                               Theme::text.resolved(), 0, 0);
  link_->setObjectName(QStringLiteral("addressLink"));
  connect(link_, &QPushButton::clicked, this, [this] { showForm(); });
  column->addWidget(link_, 0, Qt::AlignHCenter);

  form_ = new QWidget;
  form_->setObjectName(QStringLiteral("addressForm"));
  auto *formColumn = panelkit::column(form_, 6);
  auto *fieldRow = new QHBoxLayout;
  fieldRow->setSpacing(8);
  fieldRow->setContentsMargins(0, 0, 0, 0);
  field_ = new QLineEdit;
  field_->setObjectName(QStringLiteral("addressField"));
  field_->setPlaceholderText(QString::fromUtf8(placeholderText));
  PromptDialog::styleField(field_);
  field_->setFont(Theme::mono(12));
  field_->setFixedSize(fieldWidth, controlHeight);
  field_->setAccessibleName(QStringLiteral("The other Mac's address"));
  connect(field_, &QLineEdit::returnPressed, this, [this] { submit(); });
  connect(field_, &QLineEdit::textChanged, this, [this] { updateForm(); });
  pair_ = new QPushButton(QStringLiteral("Pair"));
  pair_->setObjectName(QStringLiteral("addressPair"));
  pair_->setAutoDefault(false);
  WindowButtonStyle::apply(pair_, controlHeight);
  connect(pair_, &QPushButton::clicked, this, [this] { submit(); });
  fieldRow->addStretch();
  fieldRow->addWidget(field_);
  fieldRow->addWidget(pair_);
  fieldRow->addStretch();
  formColumn->addLayout(fieldRow);
  below_ = panelkit::label({}, Theme::system(11), Theme::textMuted.resolved(), 2);
  below_->setObjectName(QStringLiteral("addressBelow"));
  below_->setAlignment(Qt::AlignHCenter);
  formColumn->addWidget(below_);
  column->addWidget(form_);
  form_->hide();

  thisMac_ = panelkit::label({}, Theme::mono(11), Theme::textMuted.resolved(), 3);
  thisMac_->setObjectName(QStringLiteral("thisMacLine"));
  thisMac_->setAlignment(Qt::AlignHCenter);
  thisMac_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  column->addWidget(thisMac_);

  updateForm();
  refresh();
}

QString PairByAddress::address() const {
  return field_->text();
}

void PairByAddress::showForm() {
  typingAddress_ = true;
  link_->hide();
  form_->show();
  field_->setFocus();
}

void PairByAddress::updateForm() {
  // Only spaces and tabs count as empty here; the parser itself trims all white space.
  const QString text = field_->text();
  qsizetype first = 0, last = text.size();
  while (first < last && (text[first] == u' ' || text[first] == u'\t'))
    ++first;
  while (last > first && (text[last - 1] == u' ' || text[last - 1] == u'\t'))
    --last;
  pair_->setEnabled(last > first);
  below_->setText(addressProblem_ ? *addressProblem_ : QString::fromUtf8(hintText));
  panelkit::setForeground(below_,
                          addressProblem_ ? Theme::accent.resolved() : Theme::textMuted.resolved());
}

void PairByAddress::refresh() {
  // In the appearance of the moment: the window refreshes after a change of it.
  link_->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0 4px; "
                                      "background: transparent; color: %1; }")
                           .arg(Theme::text.resolved().name()));
  panelkit::setForeground(thisMac_, Theme::textMuted.resolved());
  updateForm();
  const auto line = thisMacLine(addresses_(), manager_.pairingCoordinator()->port());
  thisMac_->setVisible(line.has_value());
  thisMac_->setText(line.value_or(QString()));
}

void PairByAddress::submit() {
  const auto call = submission(field_->text().toStdString());
  if (!call) {
    addressProblem_ = QString::fromStdString(call.error());
    updateForm();
    return;
  }
  // Cleared before the call: the coordinator's change of state rebuilds the window at once.
  addressProblem_.reset();
  updateForm();
  manager_.pairingCoordinator()->pairWith(call->endpoint, call->name, call->host);
}

} // namespace corvane
