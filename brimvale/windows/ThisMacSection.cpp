#include "brimvale/windows/ThisMacSection.h"

#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/manager/SharingState.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/CopyFeedback.h"
#include "brimvale/windows/SettingsStyles.h"
#include "brimvale/windows/SettingsWatch.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace corvane {

namespace {

const QString fingerprintID = QStringLiteral("thisMacFingerprint");

QLabel *rowTitle(const QString &text) {
  return themedLabel(text, Theme::system(14, QFont::Medium), settingsColor::ink);
}

} // namespace

ThisMacSection::ThisMacSection(ServiceManager &manager,
                               std::function<std::vector<std::string>()> addresses, QWidget *parent)
    : QWidget(parent), manager_(manager), addresses_(std::move(addresses)) {
  setObjectName(QStringLiteral("thisMacSection"));
  auto *stack = panelkit::column(this, 10);
  auto *card = sectionCard();

  auto *nameRow = new QWidget;
  auto *nameLine = panelkit::row(nameRow, 16, QMargins(16, 12, 16, 12));
  nameLine->addWidget(rowTitle(QStringLiteral("Name")));
  nameLine->addStretch(1);
  name_ = new QLineEdit;
  name_->setObjectName(QStringLiteral("deviceNameField"));
  name_->setPlaceholderText(QStringLiteral("Name"));
  name_->setAccessibleName(QStringLiteral("This Mac's name"));
  name_->setFont(Theme::system(13.5, QFont::Medium));
  name_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  name_->setFixedSize(260, 34);
  name_->setStyleSheet(
      QStringLiteral("QLineEdit { background: %1; color: %2; border: 1px solid %3; "
                     "border-radius: 8px; padding: 0 10px; }")
          .arg(settingsColor::background.resolved().name(), settingsColor::ink.resolved().name(),
               settingsColor::hairline.resolved().name()));
  // Only Return renames; leaving the field keeps the name in force.
  connect(name_, &QLineEdit::returnPressed, this, [this] { submitName(); });
  nameLine->addWidget(name_);
  card->addWidget(nameRow);
  card->addWidget(settingsRule());

  auto *fingerprintRow = new QWidget;
  auto *fingerprintLine = panelkit::row(fingerprintRow, 12, QMargins(16, 6, 16, 6));
  fingerprintLine->addWidget(rowTitle(QStringLiteral("Fingerprint")));
  fingerprintLine->addStretch(1);
  fingerprint_ = themedLabel({}, Theme::mono(14, QFont::Medium), settingsColor::ink);
  fingerprint_->setObjectName(QStringLiteral("fingerprint"));
  fingerprint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  fingerprintLine->addWidget(fingerprint_);
  copy_ = new QPushButton(QStringLiteral("Copy"));
  copy_->setObjectName(QStringLiteral("copyFingerprint"));
  copy_->setAccessibleName(QStringLiteral("Copy fingerprint"));
  copyStyle_ = ChipButtonStyle::apply(copy_, settingsColor::chipFill, settingsColor::ink, false);
  copyStyle_->setSymbol(QStringLiteral("doc.on.doc"));
  connect(copy_, &QPushButton::clicked, this, [this] { copyFingerprint(); });
  fingerprintLine->addWidget(copy_);
  card->addWidget(fingerprintRow);

  addressRule_ = settingsRule();
  card->addWidget(addressRule_);
  addressRow_ = new QWidget;
  auto *addressLine = panelkit::row(addressRow_, 16, QMargins(16, 12, 16, 12));
  auto *addressTitle = rowTitle(QStringLiteral("Address"));
  addressLine->addWidget(addressTitle, 0, Qt::AlignTop);
  addressLine->addStretch(1);
  addressText_ = themedLabel({}, Theme::mono(12.5), settingsColor::muted, true);
  addressText_->setObjectName(QStringLiteral("addresses"));
  addressText_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  addressText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  addressLine->addWidget(addressText_, 1);
  card->addWidget(addressRow_);

  stack->addWidget(settingsSection(QStringLiteral("This Mac"), card));
  stack->addWidget(sectionCaption(QStringLiteral(
      "A paired Mac that can't find this one on the network can be given one of these "
      "addresses (Address… in its Settings).")));
  stack->addWidget(sectionCaption(QStringLiteral(
      "Paired Macs see this name and fingerprint for you in their settings. If the fingerprint "
      "they see is different, unpair and pair again. Changing the name reconnects paired "
      "Macs.")));

  feedback_ = new CopyFeedback(*manager_.mainQueue(), this);
  connect(feedback_, &CopyFeedback::copiedIDChanged, this, [this] {
    const bool copied = copiedFingerprint();
    copyStyle_->setSymbol(copied ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc"));
    copyStyle_->setText(copied ? settingsColor::green : settingsColor::ink);
    copy_->setText(copied ? QStringLiteral("Copied") : QStringLiteral("Copy"));
    copy_->updateGeometry();
    copy_->update();
  });

  watch_ = new SettingsWatch([this] { rebuild(); }, this);
  watch_->watch(manager_.deviceName).watch(manager_.gatewayPort);
  resetName();
  rebuild();
}

QString ThisMacSection::fingerprintText() const {
  // This Mac's device identifier is the fingerprint of its public key.
  return QString::fromStdString(groupedFingerprint(manager_.myDeviceID()));
}

std::vector<std::string> ThisMacSection::addressList() const {
  std::vector<std::string> base;
  if (manager_.preview())
    base = {"192.168.1.20", "studio.local"};
  else if (addresses_)
    base = addresses_();
  return addPortToAddresses(base, manager_.gatewayPort.get(), defaultGatewayPort);
}

void ThisMacSection::resetName() {
  name_->setText(QString::fromStdString(manager_.deviceName.get()));
}

void ThisMacSection::submitName() {
  manager_.setDeviceName(name_->text().toStdString());
  resetName();
}

void ThisMacSection::copyFingerprint() {
  feedback_->copyWithFeedback(fingerprintText(), fingerprintID);
}

bool ThisMacSection::copiedFingerprint() const {
  return feedback_->copiedID() == fingerprintID;
}

void ThisMacSection::rebuild() {
  fingerprint_->setText(fingerprintText());
  const auto addresses = addressList();
  QStringList joined;
  for (const auto &each : addresses)
    joined << QString::fromStdString(each);
  addressText_->setText(joined.join(QStringLiteral(", ")));
  addressRule_->setVisible(!addresses.empty());
  addressRow_->setVisible(!addresses.empty());
}

} // namespace corvane
