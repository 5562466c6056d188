#include "brimvale/windows/PairedMacsSection.h"

#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/Unicode.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/PromptDialog.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/windows/SettingsStyles.h"
#include "brimvale/windows/SettingsWatch.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>

namespace corvane {

namespace {

// The fingerprint and the last-seen text: on one line when both fit, else the fingerprint
// alone and the text, capitalised, under it.
class SeenLine : public QWidget {
public:
  SeenLine(const QString &fingerprint, const std::string &lastSeen) {
    setObjectName(QStringLiteral("seenLine"));
    const QColor muted = settingsColor::muted.resolved();
    fingerprint_ = panelkit::label(fingerprint, Theme::mono(11.5), muted, 1, this);
    fingerprint_->setObjectName(QStringLiteral("fingerprint"));
    fingerprint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    after_ = panelkit::label(QStringLiteral("· ") + QString::fromStdString(lastSeen),
                             Theme::system(12), muted, 1, this);
    after_->setObjectName(QStringLiteral("seenAfter"));
    below_ = panelkit::label(PairedMacsSection::capitalizedFirst(lastSeen), Theme::system(12),
                             muted, 1, this);
    below_->setObjectName(QStringLiteral("seenBelow"));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
  }

  bool fits(int width) const {
    return fingerprint_->sizeHint().width() + 5 + after_->sizeHint().width() <= width;
  }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override {
    const int first = fingerprint_->sizeHint().height();
    return fits(width) ? std::max(first, after_->sizeHint().height())
                       : first + 2 + below_->sizeHint().height();
  }
  QSize sizeHint() const override {
    const int width = fingerprint_->sizeHint().width() + 5 + after_->sizeHint().width();
    return {width, heightForWidth(width)};
  }
  QSize minimumSizeHint() const override {
    const int width = fingerprint_->sizeHint().width();
    return {width, heightForWidth(width)};
  }

protected:
  void resizeEvent(QResizeEvent *) override {
    const QSize fp = fingerprint_->sizeHint();
    if (fits(width())) {
      const int line = std::max(fp.height(), after_->sizeHint().height());
      fingerprint_->setGeometry(0, (line - fp.height()) / 2, fp.width(), fp.height());
      const QSize text = after_->sizeHint();
      after_->setGeometry(fp.width() + 5, (line - text.height()) / 2, text.width(), text.height());
      after_->show();
      below_->hide();
    } else {
      fingerprint_->setGeometry(0, 0, fp.width(), fp.height());
      below_->setGeometry(0, fp.height() + 2, width(), below_->sizeHint().height());
      after_->hide();
      below_->show();
    }
  }

private:
  QLabel *fingerprint_;
  QLabel *after_;
  QLabel *below_;
};

// A Mac's initial on its colour.
class Avatar : public QWidget {
public:
  Avatar(QString letter, Theme::MacColor color) : letter_(std::move(letter)), color_(color) {
    setFixedSize(34, 34);
    setObjectName(QStringLiteral("avatar"));
    setAccessibleName({});
  }
  const QString &letter() const { return letter_; }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_.fill);
    painter.drawEllipse(QRectF(rect()));
    painter.setPen(color_.on);
    painter.setFont(Theme::system(12, QFont::Bold));
    painter.drawText(rect(), Qt::AlignCenter, letter_);
  }

private:
  QString letter_;
  Theme::MacColor color_;
};

QPushButton *chip(const QString &title, const QString &name, const QString &accessible,
                  std::optional<Theme::DynamicColor> fill, Theme::DynamicColor text) {
  auto *button = new QPushButton(title);
  button->setObjectName(name);
  button->setAccessibleName(accessible);
  ChipButtonStyle::apply(button, fill, text, false);
  return button;
}

} // namespace

PairedMacsSection::PairedMacsSection(ServiceManager &manager, SettingsState &state,
                                     std::function<void()> pair, QWidget *parent)
    : QWidget(parent), manager_(manager), state_(state), pair_(std::move(pair)) {
  setObjectName(QStringLiteral("pairedMacsSection"));
  auto *stack = panelkit::column(this, 10);

  auto *header = new QWidget;
  auto *headerRow = panelkit::row(header, 6);
  headerRow->addWidget(sectionTitle(QStringLiteral("Paired Macs")), 0, Qt::AlignBaseline);
  count_ = themedLabel({}, Theme::system(13, QFont::Medium), settingsColor::muted);
  count_->setObjectName(QStringLiteral("pairedCount"));
  headerRow->addWidget(count_, 0, Qt::AlignBaseline);
  headerRow->addStretch(1);
  auto *pairButton = new QPushButton(QStringLiteral("Pair a Mac…"));
  pairButton->setObjectName(QStringLiteral("pairMac"));
  InkButtonStyle::apply(pairButton, 32, QStringLiteral("plus"), 11, 6);
  connect(pairButton, &QPushButton::clicked, this, [this] {
    if (pair_)
      pair_();
  });
  headerRow->addWidget(pairButton);
  stack->addWidget(header);

  card_ = sectionCard();
  stack->addWidget(card_);
  stack->addWidget(sectionCaption(QString::fromUtf8(caption)));

  renameAlert_ = new PromptDialog(this);
  renameAlert_->setObjectName(QStringLiteral("renameAlert"));
  renameAlert_->setMessage(QStringLiteral("Only this Mac uses this name. That Mac keeps its own."));
  renameAlert_->addField(QStringLiteral("Name on this Mac"));
  renameAlert_->addButton(QStringLiteral("Save"), [this](const QStringList &texts) {
    if (const auto id = state_.renaming.get())
      saveNickname(*id, texts.value(0).toStdString());
  });
  renameAlert_->addButton(QStringLiteral("Use its own name"), [this](const QStringList &) {
    if (const auto id = state_.renaming.get())
      manager_.setNickname(*id, std::nullopt);
  });
  renameAlert_->addCancelButton(QStringLiteral("Cancel"));
  renameAlert_->bind<std::string>(state_.renaming, [this](const std::string *id) {
    if (!id) {
      renameAlert_->setTexts({});
      return;
    }
    // Its own name, as the Mac announced it; the shown name when the store has none.
    const auto stored = manager_.peers()->findPeer(*id);
    const std::string own = stored ? stored->name : manager_.peerDisplayName(*id);
    renameAlert_->setTitle(QStringLiteral("Rename ") + QString::fromStdString(own));
    std::string current;
    if (const auto &nicknames = manager_.preferences->nicknames)
      if (const auto found = nicknames->find(*id); found != nicknames->end())
        current = found->second;
    renameAlert_->setTexts({QString::fromStdString(current)});
  });

  addressAlert_ = new PromptDialog(this);
  addressAlert_->setObjectName(QStringLiteral("addressAlert"));
  addressAlert_->setMessage(
      QStringLiteral("Used when this Mac can't find it on the network by itself. Leave it empty "
                     "to rely on that alone. That Mac's Settings shows its address."));
  addressAlert_->addField(QStringLiteral("192.168.1.20 or ivo-mac.local"));
  addressAlert_->addButton(QStringLiteral("Save"), [this](const QStringList &texts) {
    if (const auto id = state_.addressing.get())
      saveAddress(*id, texts.value(0).toStdString());
  });
  addressAlert_->addCancelButton(QStringLiteral("Cancel"));
  addressAlert_->bind<std::string>(state_.addressing, [this](const std::string *id) {
    if (!id) {
      addressAlert_->setTexts({});
      return;
    }
    addressAlert_->setTitle(QStringLiteral("Address of ") +
                            QString::fromStdString(manager_.peerDisplayName(*id)));
    addressAlert_->setTexts({QString::fromStdString(manager_.manualAddress(*id).value_or(""))});
  });

  watch_ = new SettingsWatch([this] { rebuild(); }, this);
  watch_->watch(manager_.pairedPeers)
      .watch(manager_.preferences)
      .watch(manager_.onlinePeerIDs)
      .watch(manager_.forwardSecret)
      .watch(state_.confirmingUnpair)
      .watch(state_.addressProblem);
  rebuild();
}

QString PairedMacsSection::avatarLetter(const std::string &name) {
  const auto characters = graphemeClusters(name);
  return characters.empty() ? QString() : QString::fromStdString(characters.front()).toUpper();
}

QString PairedMacsSection::capitalizedFirst(const std::string &text) {
  const auto characters = graphemeClusters(text);
  if (characters.empty())
    return {};
  return QString::fromStdString(characters.front()).toUpper() +
         QString::fromStdString(text.substr(characters.front().size()));
}

void PairedMacsSection::saveNickname(const std::string &deviceID, const std::string &typed) {
  manager_.setNickname(deviceID, typed);
}

void PairedMacsSection::saveAddress(const std::string &deviceID, const std::string &typed) {
  const auto problem = manager_.setManualAddress(deviceID, typed);
  if (!problem) {
    state_.addressProblem.set(std::nullopt);
    return;
  }
  state_.addressProblem.set(SettingsState::AddressProblem{
      deviceID,
      *problem == ManualAddress::Problem::unreadable ? unreadableSentence : notLocalSentence});
}

void PairedMacsSection::rebuild() {
  const auto &peers = manager_.pairedPeers.get();
  count_->setText(peers.empty() ? QString() : QString::number(peers.size()));
  count_->setVisible(!peers.empty());
  card_->clear();
  if (peers.empty()) {
    auto *empty = new QWidget;
    empty->setObjectName(QStringLiteral("pairedEmpty"));
    auto *column = panelkit::column(empty, 4, QMargins(16, 22, 16, 22));
    column->addWidget(themedLabel(QStringLiteral("No Macs paired yet"),
                                  Theme::system(14, QFont::DemiBold), settingsColor::ink),
                      0, Qt::AlignHCenter);
    column->addWidget(
        themedLabel(QStringLiteral("Pair another Mac on this network to share ports with it."),
                    Theme::system(12), settingsColor::muted),
        0, Qt::AlignHCenter);
    card_->addWidget(empty);
    return;
  }
  bool first = true;
  for (const auto &peer : peersByPairingDate(peers)) {
    if (!first)
      card_->addWidget(settingsRule(false));
    first = false;
    card_->addWidget(makeRow(peer));
  }
}

QWidget *PairedMacsSection::makeRow(const PairedPeer &peer) {
  const std::string &id = peer.deviceID;
  const QString display = QString::fromStdString(peer.name);
  auto *row = new QWidget;
  row->setObjectName(QStringLiteral("pairedMacRow"));
  row->setProperty("deviceID", QString::fromStdString(id));
  auto *line = panelkit::row(row, 12, QMargins(16, 7, 16, 7));
  line->addWidget(new Avatar(avatarLetter(peer.name),
                             Theme::macColor(peerColorIndex(manager_.pairedPeers.get(), id))));

  auto *details = new QWidget;
  auto *column = panelkit::column(details, 2);
  auto *name = themedLabel(display, Theme::system(14, QFont::Medium), settingsColor::ink);
  name->setObjectName(QStringLiteral("displayName"));
  column->addWidget(name);
  if (const auto stored = manager_.peers()->findPeer(id); stored && stored->name != peer.name) {
    auto *own = themedLabel(QStringLiteral("Calls itself ") + QString::fromStdString(stored->name),
                            Theme::system(12), settingsColor::muted);
    own->setObjectName(QStringLiteral("callsItself"));
    column->addWidget(own);
  }
  column->addWidget(
      new SeenLine(QString::fromStdString(groupedFingerprint(id)), manager_.lastSeenText(id)));
  if (const auto address = manager_.manualAddress(id)) {
    auto *at = themedLabel(QStringLiteral("At ") + QString::fromStdString(*address),
                           Theme::mono(11.5), settingsColor::muted);
    at->setObjectName(QStringLiteral("manualAddress"));
    at->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(at);
  }
  if (const auto &problem = state_.addressProblem.get(); problem && problem->deviceID == id) {
    auto *text = themedLabel(QString::fromStdString(problem->sentence), Theme::system(12),
                             settingsColor::amber, true);
    text->setObjectName(QStringLiteral("addressProblem"));
    column->addWidget(text);
  }
  if (const auto notice = manager_.olderVersionNotice(id)) {
    auto *text =
        themedLabel(QString::fromStdString(*notice), Theme::system(12), settingsColor::amber, true);
    text->setObjectName(QStringLiteral("olderVersion"));
    column->addWidget(text);
  }
  line->addWidget(details, 1);
  line->addSpacing(8);

  if (state_.confirmingUnpair.get() == id) {
    auto *cancel =
        panelkit::textButton(QStringLiteral("Cancel"), Theme::system(12.5, QFont::Medium),
                             settingsColor::muted.resolved(), 0, 44);
    QFont plain = cancel->font();
    plain.setUnderline(false);
    cancel->setFont(plain);
    cancel->setObjectName(QStringLiteral("cancelUnpair"));
    connect(cancel, &QPushButton::clicked, this,
            [this] { state_.confirmingUnpair.set(std::nullopt); });
    line->addWidget(cancel);
    auto *now = chip(QStringLiteral("Unpair now"), QStringLiteral("unpairNow"),
                     QStringLiteral("Unpair now"), settingsColor::red, settingsColor::white);
    connect(now, &QPushButton::clicked, this, [this, id] {
      state_.confirmingUnpair.set(std::nullopt);
      manager_.unpair(id);
    });
    line->addWidget(now);
    return row;
  }
  auto *rename = chip(QStringLiteral("Rename"), QStringLiteral("rename"),
                      QStringLiteral("Rename ") + display + QStringLiteral(" on this Mac"),
                      std::nullopt, settingsColor::ink);
  connect(rename, &QPushButton::clicked, this, [this, id] { state_.renaming.set(id); });
  auto *address = chip(QStringLiteral("Address…"), QStringLiteral("address"),
                       QStringLiteral("Address of ") + display, std::nullopt, settingsColor::ink);
  connect(address, &QPushButton::clicked, this, [this, id] { state_.addressing.set(id); });
  auto *unpair = chip(QStringLiteral("Unpair"), QStringLiteral("unpair"),
                      QStringLiteral("Unpair ") + display, std::nullopt, settingsColor::ink);
  connect(unpair, &QPushButton::clicked, this, [this, id] { state_.confirmingUnpair.set(id); });
  line->addWidget(rename);
  line->addWidget(address);
  line->addWidget(unpair);
  return row;
}

} // namespace corvane
