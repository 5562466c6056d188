#include "brimvale/windows/SettingsView.h"

#include "brimvale/integrations/AppVersion.h"
#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/network/Addresses.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/LaunchAtLogin.h"
#include "brimvale/windows/PairedMacsSection.h"
#include "brimvale/windows/SettingsStyles.h"
#include "brimvale/windows/SettingsWatch.h"
#include "brimvale/windows/ThisMacSection.h"
#include "brimvale/windows/TrustedNetworksSection.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>

namespace corvane {

namespace {

const char *const launchCaption =
    "Corvane stays in the system tray, ready when a paired Mac shows up.";
const char *const networkNameCaption = "Corvane reads only the network name, never where you are.";

// A picture on the raised ground, clipped to its rounded corners.
class ThumbnailFrame : public QWidget {
public:
  explicit ThumbnailFrame(QWidget *picture) {
    setFixedHeight(84);
    auto *layout = panelkit::column(this, 0);
    layout->addWidget(picture);
    picture->setAttribute(Qt::WA_TransparentForMouseEvents);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(shape, settingsColor::raised.in(Theme::appearanceOf(palette())));
  }
};

// The ring beside a tile's name: thick in ink when chosen, thin and muted when not.
class SelectionRing : public QWidget {
public:
  explicit SelectionRing(bool selected) : selected_(selected) { setFixedSize(18, 18); }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto appearance = Theme::appearanceOf(palette());
    const qreal width = selected_ ? 5 : 1.5;
    panelkit::strokeInside(
        painter, QRectF(rect()),
        QPen(selected_ ? settingsColor::ink.in(appearance) : settingsColor::muted.in(appearance),
             width));
  }

private:
  bool selected_;
};

// A panel-style tile: the whole rounded rectangle is the button.
class PanelStyleTile : public QAbstractButton {
public:
  explicit PanelStyleTile(bool selected) : selected_(selected) {
    setCheckable(true);
    setChecked(selected);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  }
  void adopt(QWidget *widget) { widget->setAttribute(Qt::WA_TransparentForMouseEvents); }
  QSize sizeHint() const override { return layout() ? layout()->sizeHint() : QSize(); }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto appearance = Theme::appearanceOf(palette());
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 11, 11);
    painter.fillPath(shape, settingsColor::background.in(appearance));
    painter.setPen(QPen(
        selected_ ? settingsColor::ink.in(appearance) : settingsColor::hairline.in(appearance), 2));
    painter.drawPath(shape);
  }
  // A click on a chosen tile keeps it chosen.
  void nextCheckState() override {}

private:
  bool selected_;
};

} // namespace

SettingsNetwork SettingsNetwork::of(ServiceManager &manager) {
  // The component itself, over the same switch the manager reads; its changes reach the
  // manager as the manager's own component's do.
  auto component = std::make_shared<NetworkName>(manager.standardDefaults(), nullptr);
  component->onChange = [weak = manager.weak_from_this()] {
    if (auto self = weak.lock(); self && !self->isStopped())
      self->relayNetworkChange();
  };
  SettingsNetwork network;
  network.permission = [component] { return component->permission(); };
  network.locationPermission = [weak = manager.weak_from_this()] {
    auto self = weak.lock();
    return self ? self->locationPermission.get() : NetworkName::Permission::allowed;
  };
  network.setShowNetworkName = [component](bool on) { component->setShowNetworkName(on); };
  // Nothing guards the name here: the permission is never undecided, and never asked for.
  network.authorizationUndecided = [] { return false; };
  network.requestAuthorization = [] {};
  return network;
}

std::string SettingsView::currentPanelStyle(const UserDefaults &defaults) {
  return defaults.string(panelStyleKey) == "classic" ? "classic" : "map";
}

std::string SettingsView::hostOf(const std::string &address) {
  return QUrl(QString::fromStdString(address)).host().toStdString();
}

SettingsView::SettingsView(Services services, QWidget *parent)
    : QWidget(parent), services_(std::move(services)), manager_(*services_.manager),
      defaults_(manager_.standardDefaults()),
      network_(services_.network ? *services_.network : SettingsNetwork::of(manager_)) {
  setObjectName(QStringLiteral("settingsView"));
  if (!services_.hotkey)
    services_.hotkey = ShortcutRecorder::Hotkey::of(nullptr, defaults_);
  if (!services_.launchAtLoginEnabled)
    services_.launchAtLoginEnabled = [] {
      std::error_code error;
      const auto path = launchAtLoginEntryPath();
      return !path.empty() && std::filesystem::exists(path, error);
    };
  if (!services_.setLaunchAtLogin)
    services_.setLaunchAtLogin = [](bool on) { return corvane::setLaunchAtLogin(on); };
  if (!services_.thisMacAddresses)
    services_.thisMacAddresses = [] { return LocalAddresses::thisMacAddresses(); };
  if (services_.updateHost.empty())
    services_.updateHost = hostOf(UpdateCheckerOptions{}.address);
  launchAtLogin_ = services_.launchAtLoginEnabled();

  auto *content = new QWidget;
  content->setObjectName(QStringLiteral("settingsContent"));
  content->setAutoFillBackground(true);
  QPalette palette = content->palette();
  palette.setColor(QPalette::Window, settingsColor::background.resolved());
  palette.setColor(QPalette::WindowText, settingsColor::ink.resolved());
  content->setPalette(palette);
  content->setFixedWidth(pageWidth);
  auto *stack = panelkit::column(content, 26, QMargins(28, 24, 28, 28));

  generalCard_ = sectionCard();
  stack->addWidget(settingsSection(QStringLiteral("General"), generalCard_));

  panelCard_ = sectionCard();
  recorder_ = new ShortcutRecorder(defaults_, *services_.hotkey);
  panelCard_->addWidget(recorder_);
  panelCard_->addWidget(settingsRule());
  stack->addWidget(settingsSection(QStringLiteral("Panel"), panelCard_));

  pairedMacs_ = new PairedMacsSection(manager_, state_, services_.pair);
  stack->addWidget(pairedMacs_);
  trustedNetworks_ = new TrustedNetworksSection(manager_, network_);
  stack->addWidget(trustedNetworks_);
  activity_ = new ActivitySection(manager_, services_.dates);
  stack->addWidget(activity_);
  thisMac_ = new ThisMacSection(manager_, services_.thisMacAddresses);
  stack->addWidget(thisMac_);

  const std::string version = services_.version ? *services_.version : appVersionString();
  auto *note = themedLabel(
      QString::fromStdString("Corvane " + version +
                             " works on your local network only. Paired Macs can use every port "
                             "you share unless you limit it, so pair only with Macs you trust."),
      Theme::system(12), settingsColor::muted, true);
  note->setObjectName(QStringLiteral("closingNote"));
  note->setContentsMargins(4, 0, 4, 0);
  stack->addWidget(note);
  stack->addStretch(1);

  auto *outer = panelkit::column(this, 0);
  if (services_.scrolls) {
    scrollArea_ = new QScrollArea;
    scrollArea_->setObjectName(QStringLiteral("settingsScroll"));
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The page grows and shrinks with its sections; wrapped lines get the height they need.
    scrollArea_->setWidgetResizable(true);
    // As tall as the sections at the page's width: their smallest heights, wrapped text at its
    // narrowest, would add a screenful of empty page below the closing note.
    content->setMinimumHeight(1);
    scrollArea_->setWidget(content);
    QPalette background = scrollArea_->palette();
    background.setColor(QPalette::Window, settingsColor::background.resolved());
    scrollArea_->setPalette(background);
    scrollArea_->setFixedSize(pageWidth, scrollHeight);
    // The page keeps 600 points; the indicator stands over its right margin.
    content->setFixedWidth(pageWidth - scrollArea_->verticalScrollBar()->sizeHint().width());
    outer->addWidget(scrollArea_);
  } else {
    outer->addWidget(content);
  }

  watch_ = new SettingsWatch([this] { rebuildGeneral(); }, this);
  watch_->watch(manager_.locationPermission);
  if (services_.updates)
    watch_->watch(services_.updates->available)
        .watch(services_.updates->checking)
        .watch(services_.updates->failed)
        .watch(services_.updates->lastChecked);
  rebuildGeneral();
  content->adjustSize();
}

SettingsView::~SettingsView() = default;

QWidget *SettingsView::switchRow(const QString &title, const QString &detail,
                                 const std::optional<QString> &warning, const QString &name,
                                 bool on, std::function<void(bool)> changed) {
  auto *row = new QWidget;
  row->setObjectName(name + QStringLiteral("Row"));
  auto *line = panelkit::row(row, 16, QMargins(16, 10, 16, 10));
  line->addWidget(settingRowLabel(title, detail, warning), 1);
  auto *toggle = new QCheckBox;
  toggle->setObjectName(name);
  toggle->setChecked(on); // before the handler: the first display runs nothing
  InkSwitchStyle::apply(toggle, title);
  connect(toggle, &QCheckBox::toggled, this, std::move(changed));
  line->addWidget(toggle);
  return row;
}

QWidget *SettingsView::updateStatusRow() {
  UpdateChecker &updates = *services_.updates;
  auto *row = new QWidget;
  row->setObjectName(QStringLiteral("updateStatusRow"));
  auto *line = panelkit::row(row, 12, QMargins(16, 0, 16, 12));
  const QString host = QString::fromStdString(services_.updateHost);
  if (const auto &release = updates.available.get()) {
    auto *text = themedLabel(QStringLiteral("Corvane ") + QString::fromStdString(release->version) +
                                 QStringLiteral(" is available."),
                             Theme::system(12.5, QFont::DemiBold), settingsColor::ink);
    text->setObjectName(QStringLiteral("updateStatus"));
    line->addWidget(text);
    auto *download = new QPushButton(QStringLiteral("Download"));
    download->setObjectName(QStringLiteral("download"));
    ChipButtonStyle::apply(download, settingsColor::chipFill, settingsColor::ink, false);
    connect(download, &QPushButton::clicked, this, [&updates] { updates.openDownload(); });
    line->addWidget(download);
    line->addStretch(1);
    return row;
  }
  QString status;
  if (updates.checking.get())
    status = QStringLiteral("Checking…");
  else if (updates.failed.get())
    status = QStringLiteral("Couldn't reach ") + host + QStringLiteral(".");
  else if (!updates.lastChecked.get())
    status = QStringLiteral("Not checked yet.");
  else
    status = QStringLiteral("Corvane ") + QString::fromStdString(appVersionString()) +
             QStringLiteral(" is the latest version.");
  auto *text = themedLabel(status, Theme::system(12), settingsColor::muted);
  text->setObjectName(QStringLiteral("updateStatus"));
  line->addWidget(text);
  auto *check = new QPushButton(QStringLiteral("Check now"));
  check->setObjectName(QStringLiteral("checkNow"));
  ChipButtonStyle::apply(check, settingsColor::chipFill, settingsColor::ink, false);
  check->setEnabled(!updates.checking.get());
  connect(check, &QPushButton::clicked, this, [&updates] { updates.check(); });
  line->addWidget(check);
  line->addStretch(1);
  return row;
}

QWidget *SettingsView::panelStyleTile(const QString &style, const QString &name,
                                      const QString &caption, QWidget *picture) {
  const bool selected = QString::fromStdString(currentPanelStyle(defaults_)) == style;
  auto *tile = new PanelStyleTile(selected);
  tile->setObjectName(style + QStringLiteral("Tile"));
  tile->setAccessibleName(name + QStringLiteral(", ") + caption);
  auto *column = panelkit::column(tile, 10, QMargins(10, 10, 10, 10));
  auto *frame = new ThumbnailFrame(picture);
  tile->adopt(frame);
  column->addWidget(frame);
  auto *below = new QWidget;
  tile->adopt(below);
  auto *line = panelkit::row(below, 8);
  auto *texts = new QWidget;
  auto *textColumn = panelkit::column(texts, 1);
  textColumn->addWidget(
      themedLabel(name, Theme::system(13.5, QFont::DemiBold), settingsColor::ink));
  textColumn->addWidget(themedLabel(caption, Theme::system(11.5), settingsColor::muted));
  line->addWidget(texts, 1);
  line->addWidget(new SelectionRing(selected));
  column->addWidget(below);
  connect(tile, &QAbstractButton::clicked, this,
          [this, style] { choosePanelStyle(style.toStdString()); });
  return tile;
}

void SettingsView::rebuildGeneral() {
  generalCard_->clear();
  generalCard_->addWidget(
      switchRow(QStringLiteral("Launch at login"), QString::fromUtf8(launchCaption),
                launchError_ ? std::optional(QString::fromStdString(*launchError_)) : std::nullopt,
                QStringLiteral("launchAtLogin"), launchAtLogin_,
                [this](bool on) { launchAtLoginChanged(on); }));
  UpdateChecker *updates = services_.updates;
  if (updates && updates->isEnabled()) {
    const bool checkOn = defaults_.boolean(checkForUpdatesKey).value_or(true);
    generalCard_->addWidget(settingsRule());
    generalCard_->addWidget(switchRow(
        QStringLiteral("Check for updates"),
        QString::fromStdString("Once a day Corvane asks " + services_.updateHost +
                               " for the latest version number. Nothing about you or your Macs "
                               "is sent."),
        std::nullopt, QStringLiteral("checkForUpdates"), checkOn,
        [this](bool on) { checkForUpdatesChanged(on); }));
    if (checkOn)
      generalCard_->addWidget(updateStatusRow());
  }
  generalCard_->addWidget(settingsRule());
  auto *picker = new QWidget;
  picker->setObjectName(QStringLiteral("panelStylePicker"));
  auto *pickerColumn = panelkit::column(picker, 12, QMargins(16, 14, 16, 16));
  pickerColumn->addWidget(settingRowLabel(QStringLiteral("Tray panel"),
                                          QStringLiteral("What you see when you click the "
                                                         "Corvane icon."),
                                          std::nullopt));
  auto *tiles = new QWidget;
  auto *tileRow = panelkit::row(tiles, 12);
  tileRow->addWidget(panelStyleTile(QStringLiteral("map"), QStringLiteral("Nearby map"),
                                    QStringLiteral("Macs around you, live"), new MapThumbnail),
                     1);
  tileRow->addWidget(panelStyleTile(QStringLiteral("classic"), QStringLiteral("Classic"),
                                    QStringLiteral("Every port in one list"), new ListThumbnail),
                     1);
  pickerColumn->addWidget(tiles);
  generalCard_->addWidget(picker);

  // The Wi-Fi name row of the "Panel" section follows the switch and the permission.
  const bool showName = defaults_.boolean(showNetworkNameKey).value_or(false);
  const auto permission = network_.permission ? network_.permission() : std::nullopt;
  QWidget *row = switchRow(
      QStringLiteral("Show the Wi-Fi network's name"), QString::fromUtf8(networkNameCaption),
      showName && permission == NetworkName::Permission::denied
          ? std::optional(QString::fromUtf8(networkDeniedText))
          : std::nullopt,
      QStringLiteral("showNetworkName"), showName, [this](bool on) { showNetworkNameChanged(on); });
  if (networkRow_) {
    delete panelCard_->column()->replaceWidget(networkRow_, row); // the old item is ours
    networkRow_->hide();
    networkRow_->deleteLater();
  } else {
    panelCard_->addWidget(row);
  }
  networkRow_ = row;
}

void SettingsView::launchAtLoginChanged(bool on) {
  launchAtLogin_ = on;
  launchError_ = services_.setLaunchAtLogin(on);
  // After a refusal the switch shows what is really set; that correction is no new request,
  // so the error line stays.
  if (launchError_)
    launchAtLogin_ = services_.launchAtLoginEnabled();
  watch_->schedule();
}

void SettingsView::choosePanelStyle(const std::string &style) {
  defaults_.setString(panelStyleKey, style == "classic" ? "classic" : "map");
  watch_->schedule();
}

void SettingsView::showNetworkNameChanged(bool on) {
  if (network_.setShowNetworkName)
    network_.setShowNetworkName(on);
  else
    defaults_.setBool(showNetworkNameKey, on);
  watch_->schedule();
}

void SettingsView::checkForUpdatesChanged(bool on) {
  defaults_.setBool(checkForUpdatesKey, on);
  if (services_.updates)
    services_.updates->setEnabled(on);
  watch_->schedule();
}

void SettingsView::showEvent(QShowEvent *event) {
  // The name field starts from the name in force each time the window shows.
  thisMac_->resetName();
  watch_->schedule();
  QWidget::showEvent(event);
}

void SettingsView::changeEvent(QEvent *event) {
  if (event->type() == QEvent::ApplicationPaletteChange) {
    watch_->schedule();
    pairedMacs_->rebuild();
    trustedNetworks_->rebuild();
    activity_->rebuild();
  }
  QWidget::changeEvent(event);
}

} // namespace corvane
