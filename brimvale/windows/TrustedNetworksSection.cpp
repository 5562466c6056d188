#include "brimvale/windows/TrustedNetworksSection.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/Unicode.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/windows/SettingsStyles.h"
#include "brimvale/windows/SettingsWatch.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

namespace corvane {

namespace {

// The Wi-Fi symbol: a dot under two arcs, 13 points.
class WifiSymbol : public QWidget {
public:
  WifiSymbol() {
    setFixedSize(16, 16);
    setAccessibleName({});
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor color = settingsColor::muted.in(Theme::appearanceOf(palette()));
    const QPointF base(width() / 2.0, height() - 3.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(base, 1.6, 1.6);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap));
    for (const qreal radius : {5.0, 9.5})
      painter.drawArc(QRectF(base.x() - radius, base.y() - radius, 2 * radius, 2 * radius), 45 * 16,
                      90 * 16);
  }
};

QPushButton *chipButton(const QString &title, const QString &name,
                        std::optional<Theme::DynamicColor> fill) {
  auto *button = new QPushButton(title);
  button->setObjectName(name);
  ChipButtonStyle::apply(button, fill, settingsColor::ink, false);
  return button;
}

} // namespace

TrustedNetworksSection::TrustedNetworksSection(ServiceManager &manager, SettingsNetwork network,
                                               QWidget *parent)
    : QWidget(parent), manager_(manager), network_(std::move(network)) {
  setObjectName(QStringLiteral("trustedNetworksSection"));
  auto *stack = panelkit::column(this, 10);
  stack->addWidget(sectionTitle(QStringLiteral("Trusted networks")), 0, Qt::AlignLeft);
  card_ = sectionCard();
  stack->addWidget(card_);
  caption_ = sectionCaption({});
  caption_->setObjectName(QStringLiteral("trustedCaption"));
  stack->addWidget(caption_);
  watch_ = new SettingsWatch([this] { rebuild(); }, this);
  watch_->watch(manager_.preferences)
      .watch(manager_.wifiName)
      .watch(manager_.locationPermission)
      .watch(manager_.sharingState);
  rebuild();
}

std::string TrustedNetworksSection::trimmedName(const std::string &name) {
  return trimmingWhitespaceAndNewlines(name);
}

QWidget *TrustedNetworksSection::statusRow(const QString &title, const QString &detail,
                                           const std::optional<QString> &warning, QWidget *button) {
  auto *row = new QWidget;
  row->setObjectName(QStringLiteral("statusRow"));
  auto *line = panelkit::row(row, 16, QMargins(16, 10, 16, 10));
  line->addWidget(settingRowLabel(title, detail, warning), 1);
  if (button)
    line->addWidget(button);
  return row;
}

QWidget *TrustedNetworksSection::trustButton() {
  const auto &wifi = manager_.wifiName.get();
  auto *button = chipButton(wifi ? QStringLiteral("Trust ") + QString::fromStdString(*wifi)
                                 : QStringLiteral("Trust this network"),
                            QStringLiteral("trustNetwork"), settingsColor::chipFill);
  connect(button, &QPushButton::clicked, this, [this] { trustCurrentNetwork(); });
  return button;
}

void TrustedNetworksSection::trustCurrentNetwork() {
  if (const auto &wifi = manager_.wifiName.get()) {
    manager_.trustNetwork(*wifi);
    return;
  }
  // The name shows once the permission is granted; the user then trusts it with a second
  // click.
  if (network_.authorizationUndecided && network_.authorizationUndecided() &&
      network_.requestAuthorization)
    network_.requestAuthorization();
}

void TrustedNetworksSection::rebuild() {
  const auto &prefs = manager_.preferences.get();
  const std::vector<std::string> trusted =
      prefs.trustedNetworks ? *prefs.trustedNetworks : std::vector<std::string>{};
  const auto permission = network_.locationPermission ? network_.locationPermission()
                                                      : manager_.locationPermission.get();
  const auto warning = permission == NetworkName::Permission::denied
                           ? std::optional(QString::fromUtf8(locationWarning))
                           : std::nullopt;
  const auto &wifi = manager_.wifiName.get();
  // Compared trimmed, as the sharing state is, so this section says what sharing does.
  const auto current = wifi ? std::optional(trimmedName(*wifi)) : std::nullopt;

  caption_->setText(
      trusted.empty()
          ? QStringLiteral("Corvane reads the Wi-Fi name from NetworkManager. It never reads "
                           "your location.")
          : QStringLiteral("Off these networks, sharing pauses until you're back; using other "
                           "Macs' ports still works. On a wired network, or if Corvane can't "
                           "read the Wi-Fi name, sharing stays paused."));
  card_->clear();
  if (trusted.empty()) {
    // Without a name to trust (a wired network, no NetworkManager) a Trust button would do
    // nothing; the row says why there is none. Only an undecided permission can still be asked.
    const bool canTrust = wifi || permission == NetworkName::Permission::undecided;
    card_->addWidget(statusRow(
        QStringLiteral("Share on any network"),
        QStringLiteral("Add a network to share your ports only on it, such as your office Wi-Fi."),
        warning || canTrust ? warning : std::optional(QString::fromUtf8(unreadableNetworkText)),
        canTrust ? trustButton() : nullptr));
    return;
  }
  bool listed = false;
  for (std::size_t i = 0; i < trusted.size(); ++i) {
    const std::string &name = trusted[i];
    if (i > 0)
      card_->addWidget(settingsRule());
    auto *row = new QWidget;
    row->setObjectName(QStringLiteral("networkRow"));
    row->setProperty("network", QString::fromStdString(name));
    auto *line = panelkit::row(row, 12, QMargins(16, 7, 16, 7));
    line->addWidget(new WifiSymbol);
    // A network's name is at most 32 bytes: one line always holds it.
    auto *label = themedLabel(QString::fromStdString(name), Theme::system(14, QFont::Medium),
                              settingsColor::ink);
    label->setObjectName(QStringLiteral("networkName"));
    line->addWidget(label, 0);
    const bool connected = current && trimmedName(name) == *current;
    listed = listed || connected;
    if (connected) {
      auto *mark =
          themedLabel(QStringLiteral("· connected"), Theme::system(12), settingsColor::muted);
      mark->setObjectName(QStringLiteral("connected"));
      line->addWidget(mark);
    }
    line->addStretch(1);
    line->addSpacing(8);
    auto *remove =
        chipButton(QStringLiteral("Remove"), QStringLiteral("removeNetwork"), std::nullopt);
    remove->setAccessibleName(QStringLiteral("Stop trusting ") + QString::fromStdString(name));
    connect(remove, &QPushButton::clicked, this,
            [this, name] { manager_.stopTrustingNetwork(name); });
    line->addWidget(remove);
    card_->addWidget(row);
  }
  if (!wifi) {
    card_->addWidget(settingsRule());
    QWidget *button = nullptr;
    if (const auto title = networkPermissionActionTitle(manager_.sharingState.get(), permission)) {
      auto *allow = chipButton(QString::fromStdString(*title), QStringLiteral("permissionButton"),
                               settingsColor::chipFill);
      connect(allow, &QPushButton::clicked, this, [this] { manager_.requestLocationPermission(); });
      button = allow;
    }
    card_->addWidget(statusRow(
        QStringLiteral("Can't read the Wi-Fi name"),
        QStringLiteral("Sharing stays paused until Corvane can tell which network this is."),
        warning, button));
  } else if (!listed) {
    card_->addWidget(settingsRule());
    card_->addWidget(statusRow(QStringLiteral("You're on ") + QString::fromStdString(*wifi),
                               QStringLiteral("Sharing is paused here."), std::nullopt,
                               trustButton()));
  }
}

} // namespace corvane
