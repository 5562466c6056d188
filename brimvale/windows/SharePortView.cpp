#include "brimvale/windows/SharePortView.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/Unicode.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/ServiceIcon.h"
#include "brimvale/windows/ShareWindowKit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <map>

namespace corvane {

namespace {

using Category = ExposedService::ServiceCategory;

struct StaticSection {
  const char *title;
  std::vector<Category> categories;
};

const std::vector<StaticSection> &staticSections() {
  static const std::vector<StaticSection> table{
      {"Databases and search", {Category::database}},
      {"Messaging", {Category::messaging}},
      {"Tools", {Category::tool}},
      {"Web", {Category::web, Category::api}},
  };
  return table;
}

constexpr const char *runningTitle = "Running on this Mac";
constexpr const char *alsoListeningTitle = "Also listening on this Mac";

QString qs(const std::string &text) {
  return QString::fromStdString(text);
}

std::string lowered(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
      .toLower()
      .toStdString();
}

bool isSharedPort(const std::vector<ExposedService> &services, int port) {
  return std::ranges::any_of(services, [port](const auto &s) { return s.port == port; });
}

// The frame of a row: a button over the whole rounded card, its content drawn by child widgets
// that take no clicks of their own.
class RowButton : public QAbstractButton {
public:
  RowButton(qreal borderWidth, QColor border) : borderWidth_(borderWidth), border_(border) {
    setCursor(Qt::PointingHandCursor);
    setFixedHeight(48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMinimumWidth(10);
  }
  void adopt(QWidget *widget, int stretch = 0) {
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
    static_cast<QHBoxLayout *>(layout())->addWidget(widget, stretch);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = borderWidth_ / 2;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), 10, 10);
    painter.fillPath(shape, isDown() ? panelkit::faded(sharekit::card(), 0.7) : sharekit::card());
    painter.setPen(QPen(border_, borderWidth_));
    painter.drawPath(shape);
  }

private:
  qreal borderWidth_;
  QColor border_;
};

QWidget *textColumn(QWidget *first, QWidget *second) {
  auto *column = new QWidget;
  auto *stack = panelkit::column(column, 1);
  stack->addStretch(1);
  stack->addWidget(first);
  stack->addWidget(second);
  stack->addStretch(1);
  column->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  return column;
}

} // namespace

SharePortView::SharePortView(ServiceManager &manager, std::shared_ptr<MainQueue> main,
                             LocalProbes probes, std::function<void(const QString &)> openWindow,
                             std::function<void()> done, bool scansWider, QWidget *parent)
    : QWidget(parent), manager_(manager), probes_(std::move(probes)),
      openWindow_(std::move(openWindow)), done_(std::move(done)), scansWider_(scansWider),
      work_(std::move(main)) {
  setObjectName(QStringLiteral("sharePortView"));
  QPalette palette = this->palette();
  palette.setColor(QPalette::WindowText, sharekit::ink());
  setPalette(palette);

  auto *stack = panelkit::column(this, 10);
  auto *searchRow = new QWidget;
  auto *line = panelkit::row(searchRow, 6);
  nameField_ = sharekit::field(QStringLiteral("Search, or name your own"), 40);
  nameField_->setObjectName(QStringLiteral("shareNameField"));
  portField_ = sharekit::field(QStringLiteral("Port"), 40);
  portField_->setObjectName(QStringLiteral("sharePortField"));
  portField_->setFixedWidth(62);
  shareButton_ = new QPushButton(QStringLiteral("Share"));
  shareButton_->setObjectName(QStringLiteral("shareTypedButton"));
  InkButtonStyle::apply(shareButton_, 40);
  line->addWidget(nameField_, 1);
  line->addWidget(portField_);
  line->addWidget(shareButton_);
  stack->addWidget(searchRow);

  auto *bodyHolder = new QWidget;
  bodyLayout_ = panelkit::column(bodyHolder, 0);
  stack->addWidget(bodyHolder);

  auto *import =
      sharekit::link(QStringLiteral("Import from a compose file\u2026"), sharekit::Role::muted);
  import->setObjectName(QStringLiteral("shareImportLink"));
  connect(import, &QAbstractButton::clicked, this, [this] { openImporter(); });
  stack->addWidget(import, 0, Qt::AlignLeft);
  stack->addStretch(1);

  connect(nameField_, &QLineEdit::textChanged, this, [this] { rebuild(); });
  connect(portField_, &QLineEdit::textChanged, this, [this] { updateShareButton(); });
  connect(nameField_, &QLineEdit::returnPressed, this, [this] { portField_->setFocus(); });
  connect(portField_, &QLineEdit::returnPressed, this, [this] { submitTyped(); });
  connect(shareButton_, &QAbstractButton::clicked, this, [this] { submitTyped(); });
  auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape->setContext(Qt::WidgetWithChildrenShortcut);
  connect(escape, &QShortcut::activated, this, [this] { cancel(); });

  preferencesWatch_ = manager_.preferences.subscribe([this](const Preferences &) { rebuild(); });
  // Incoming ports change with every latency sample; only the ports they occupy here matter.
  proxied_ = proxiedPortsOf(manager_.incoming.get());
  incomingWatch_ = manager_.incoming.subscribe([this](const std::vector<IncomingService> &rows) {
    auto ports = proxiedPortsOf(rows);
    if (ports == proxied_)
      return;
    proxied_ = std::move(ports);
    rebuild();
  });
  updateShareButton();
  rebuild();
}

SharePortView::~SharePortView() {
  work_.cancel();
}

// ---- What the view shows

std::vector<SharePortView::Section>
SharePortView::sectionsFor(std::string_view name, const std::set<int> &listening,
                           const std::vector<ExposedService> &services) {
  std::vector<KnownService> offered;
  for (auto &row : KnownService::matchTypedText(name))
    if (!isSharedPort(services, row.port))
      offered.push_back(std::move(row));

  std::vector<Section> result;
  Section running{runningTitle, {}, true};
  for (const auto &row : offered)
    if (listening.contains(row.port))
      running.services.push_back(row);
  if (!running.services.empty())
    result.push_back(std::move(running));
  for (const auto &table : staticSections()) {
    Section section{table.title, {}, false};
    for (const auto &row : offered)
      if (!listening.contains(row.port) &&
          std::ranges::find(table.categories, row.category) != table.categories.end())
        section.services.push_back(row);
    if (!section.services.empty())
      result.push_back(std::move(section));
  }
  return result;
}

std::set<int> SharePortView::proxiedPortsOf(const std::vector<IncomingService> &incoming) {
  std::set<int> ports;
  for (const auto &row : incoming)
    if (row.localPort)
      ports.insert(*row.localPort);
  return ports;
}

std::vector<ListeningPort> SharePortView::otherRowsFor(const std::vector<ListeningPort> &listeners,
                                                       std::string_view name,
                                                       const std::vector<ExposedService> &services,
                                                       const std::set<int> &proxiedPorts) {
  const std::string needle = lowered(trimmingWhitespaceAndNewlines(name));
  std::vector<ListeningPort> rows;
  for (const auto &entry : listeners) {
    if (isSharedPort(services, entry.port) || proxiedPorts.contains(entry.port))
      continue;
    if (!needle.empty() &&
        lowered(ListeningPort::displayTitle(entry.port, entry.label)).find(needle) ==
            std::string::npos)
      continue;
    rows.push_back(entry);
  }
  return rows;
}

std::optional<std::int64_t> SharePortView::wholeNumber(std::string_view text) {
  const std::string trimmed = trimmingWhitespaceAndNewlines(text);
  std::string_view digits = trimmed;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  // Parsed with its sign, so that the most negative 64-bit value is in range too.
  std::string signedDigits(negative ? "-" : "");
  signedDigits.append(digits);
  std::int64_t value = 0;
  const auto [end, failure] =
      std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (failure != std::errc() || end != signedDigits.data() + signedDigits.size())
    return std::nullopt;
  return value;
}

bool SharePortView::canShareTyped(std::string_view name, std::string_view port) {
  return !trimmingWhitespaceAndNewlines(name).empty() && wholeNumber(port).has_value();
}

std::string SharePortView::emptyMessageFor(std::string_view name,
                                           const std::vector<ExposedService> &services) {
  if (trimmingWhitespaceAndNewlines(name).empty())
    return "Every known service is already shared. Type a name and port to add another.";
  std::vector<std::pair<KnownService, ExposedService>> pairs;
  for (const auto &row : KnownService::matchTypedText(name)) {
    const auto share = std::ranges::find(services, row.port, &ExposedService::port);
    if (share != services.end())
      pairs.emplace_back(row, *share);
  }
  if (pairs.empty())
    return "Nothing known by that name. Add its port number and choose Share.";
  if (pairs.size() >= 2) {
    std::string listed;
    for (const auto &[row, share] : pairs) {
      if (!listed.empty())
        listed += ", ";
      listed += row.name + " (" + std::to_string(row.port) + ")";
    }
    return "Already shared on their usual ports: " + listed +
           ". To share another, add its port number and choose Share.";
  }
  const auto &[row, share] = pairs.front();
  std::string text = equalsIgnoringCase(row.name, share.name)
                         ? "You already share " + row.name + " on port " + std::to_string(row.port)
                         : "Port " + std::to_string(row.port) + ", " + row.name +
                               "'s usual port, is already shared as \u201C" + share.name + "\u201D";
  text += ". ";
  text += share.enabled ? "To share another, add its port number and choose Share."
                        : "It's paused: resume it from your shares above, or add another port "
                          "number to share a second one.";
  return text;
}

std::vector<SharePortView::Section> SharePortView::sections() const {
  // A port that now carries another Mac's service no longer counts as running.
  std::set<int> running = listening_;
  for (int port : proxiedPortsOf(manager_.incoming.get()))
    running.erase(port);
  return sectionsFor(typedName(), running, manager_.preferences->services);
}

std::vector<ListeningPort> SharePortView::otherRows() const {
  return otherRowsFor(otherListeners_, typedName(), manager_.preferences->services,
                      proxiedPortsOf(manager_.incoming.get()));
}

std::optional<SharePortView::Field> SharePortView::focus() const {
  if (nameField_->hasFocus())
    return Field::name;
  if (portField_->hasFocus())
    return Field::port;
  return std::nullopt;
}

std::string SharePortView::typedName() const {
  return nameField_->text().toStdString();
}
std::string SharePortView::typedPort() const {
  return portField_->text().toStdString();
}

// ---- Operations

void SharePortView::submitTyped() {
  const auto number = wholeNumber(typedPort());
  if (!number) {
    if (!trimmingWhitespaceAndNewlines(typedName()).empty())
      setError(std::string(description(ExposedService::ValidationError::badPort)));
    else
      setError(std::nullopt);
    return;
  }
  // Checked before any narrowing: a port out of range reaches the manager as 0, which it refuses
  // as it would the typed number, and never as that number cut to 16 or 32 bits.
  const int port = *number >= 1 && *number <= 65535 ? static_cast<int>(*number) : 0;
  const std::string name = typedName();
  const auto known = KnownService::findByName(name, port);
  addOne(name, port, known ? known->category : Category::custom);
}

void SharePortView::addOne(const std::string &name, int port, Category category) {
  if (const auto failure = manager_.addShare(name, port, category)) {
    setError(std::string(description(*failure)));
    return;
  }
  finish();
}

void SharePortView::addMany(const std::vector<ShareCandidate> &candidates) {
  const auto result = manager_.addShares(candidates);
  if (result.added.empty() && !result.failed.empty()) {
    setError(std::string(description(result.failed.front().error)));
    return;
  }
  if (auto summary = result.summary()) {
    manager_.setNotice(std::move(summary));
    manager_.scheduleNoticeClear();
  }
  finish();
}

void SharePortView::toggle(int port) {
  if (!selection_)
    return;
  if (!selection_->erase(port))
    selection_->insert(port);
  rebuild();
}

void SharePortView::toggleMode() {
  if (selection_)
    selection_.reset();
  else
    selection_.emplace();
  rebuild();
}

void SharePortView::shareTicked() {
  if (!selection_ || selection_->empty())
    return;
  std::vector<ShareCandidate> candidates;
  for (const auto &row : KnownService::catalogue())
    if (selection_->contains(row.port))
      candidates.push_back({row.name, row.port, row.category});
  for (const auto &entry : otherRows())
    if (selection_->contains(entry.port))
      candidates.push_back(ListeningPort::makeCandidate(entry.port, entry.label));
  // Every ticked port is hidden by the search: nothing to share, and the ticks stay.
  if (candidates.empty())
    return;
  addMany(candidates);
}

void SharePortView::cancel() {
  finish();
}

void SharePortView::openImporter() {
  if (openWindow_)
    openWindow_(QStringLiteral("importer"));
  finish();
}

void SharePortView::finish() {
  // Nothing the scan finds from now on is wanted.
  work_.cancel();
  finished_ = true;
  if (done_)
    done_();
}

void SharePortView::setError(std::optional<std::string> text) {
  error_ = std::move(text);
  rebuild();
}

// ---- The scan of this Mac

void SharePortView::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (started_ || finished_)
    return;
  started_ = true;
  nameField_->setFocus();
  startScan();
}

bool SharePortView::event(QEvent *event) {
  // The panels rebuild around the view and move it into their new frame; the field being typed
  // in keeps the focus.
  if (event->type() == QEvent::ParentAboutToChange)
    focusBeforeMove_ = focus();
  else if (event->type() == QEvent::ParentChange && focusBeforeMove_) {
    QLineEdit *field = *focusBeforeMove_ == Field::name ? nameField_ : portField_;
    focusBeforeMove_.reset();
    QTimer::singleShot(0, field, [field] { field->setFocus(); });
  }
  return QWidget::event(event);
}

void SharePortView::startScan() {
  work_.restart();
  const std::set<int> proxied = proxiedPortsOf(manager_.incoming.get());
  std::set<int> ports;
  for (const auto &row : KnownService::catalogue())
    if (!proxied.contains(row.port))
      ports.insert(row.port);

  struct Gathered {
    std::size_t remaining = 0;
    std::set<int> accepted;
  };
  auto gathered = std::make_shared<Gathered>();
  gathered->remaining = ports.size();
  auto stored = [this, gathered] {
    listening_ = gathered->accepted;
    rebuild();
    if (scansWider_)
      scanWider();
    else
      work_.cancel();
  };
  if (ports.empty()) {
    stored();
    return;
  }
  for (int port : ports)
    probes_.accepts(port, catalogueTimeout, work_.deliver<bool>([gathered, port, stored](bool ok) {
      if (ok)
        gathered->accepted.insert(port);
      if (--gathered->remaining == 0)
        stored();
    }));
}

void SharePortView::scanWider() {
  const std::set<int> proxied = proxiedPortsOf(manager_.incoming.get());
  std::set<int> catalogue;
  for (const auto &row : KnownService::catalogue())
    catalogue.insert(row.port);
  std::vector<int> ports;
  for (int port : candidatePorts())
    if (!catalogue.contains(port) && !proxied.contains(port))
      ports.push_back(port);
  std::ranges::sort(ports);

  probes_.scan(
      ports, widerTimeout,
      work_.deliver<std::map<int, Endpoint::Host>>([this](std::map<int, Endpoint::Host> found) {
        otherListeners_.clear();
        for (const auto &[port, host] : found)
          otherListeners_.push_back({port, std::nullopt});
        rebuild();
        if (found.empty()) {
          work_.cancel();
          return;
        }
        auto remaining = std::make_shared<std::size_t>(found.size());
        for (const auto &[port, host] : found)
          probes_.detectVersion(host, port,
                                work_.deliver<std::optional<std::string>>(
                                    [this, port, remaining](std::optional<std::string> label) {
                                      const auto entry = std::ranges::find(otherListeners_, port,
                                                                           &ListeningPort::port);
                                      if (entry != otherListeners_.end() && label) {
                                        entry->label = std::move(label);
                                        rebuild();
                                      }
                                      if (--*remaining == 0)
                                        work_.cancel();
                                    }));
      }));
}

// ---- Drawing

void SharePortView::updateShareButton() {
  const bool can = canShareTyped(typedName(), typedPort());
  shareButton_->setEnabled(can);
  sharekit::setDimmed(shareButton_, !can);
}

void SharePortView::rebuild() {
  updateShareButton();
  if (body_) {
    if (auto *scroll = body_->findChild<QScrollArea *>(QStringLiteral("shareList")))
      listScroll_ = scroll->verticalScrollBar()->value();
    body_->hide();
    bodyLayout_->removeWidget(body_);
    // Deleted later: the click that led here may come from one of its buttons.
    body_->deleteLater();
  }
  body_ = new QWidget;
  auto *stack = panelkit::column(body_, 10);
  if (error_) {
    auto *message = sharekit::label(qs(*error_), Theme::system(12), sharekit::Role::amber, 3);
    message->setObjectName(QStringLiteral("shareError"));
    stack->addWidget(message);
  }
  const auto shown = sections();
  const auto others = otherRows();
  if (shown.empty() && others.empty()) {
    auto *message =
        sharekit::label(qs(emptyMessageFor(typedName(), manager_.preferences->services)),
                        Theme::system(12), sharekit::Role::muted, 6);
    message->setObjectName(QStringLiteral("shareEmptyMessage"));
    stack->addWidget(message);
  } else {
    stack->addWidget(buildList(shown, others));
  }
  stack->addWidget(buildFooter());
  bodyLayout_->addWidget(body_);
  // Shown now rather than on the next turn of the event loop, so that what is read right after a
  // rebuild is what is on screen.
  if (isVisible())
    body_->show();
}

QWidget *SharePortView::buildList(const std::vector<Section> &shown,
                                  const std::vector<ListeningPort> &others) {
  auto *inner = new QWidget;
  inner->setObjectName(QStringLiteral("shareListContent"));
  auto *stack = panelkit::column(inner, 12, QMargins(0, 0, 2, 0));
  const bool several = selection_.has_value();

  auto alsoListening = [&] {
    if (others.empty())
      return;
    std::vector<QWidget *> rows;
    for (const auto &entry : others)
      rows.push_back(listeningRow(entry));
    stack->addWidget(buildBlock(QString::fromUtf8(alsoListeningTitle), nullptr, rows));
  };
  const bool hasRunning = !shown.empty() && shown.front().isRunning;
  if (!hasRunning)
    alsoListening();
  for (const auto &section : shown) {
    std::set<int> runningPorts;
    if (section.isRunning)
      for (const auto &row : section.services)
        runningPorts.insert(row.port);
    std::vector<QWidget *> rows;
    for (const auto &row : section.services)
      rows.push_back(catalogueRow(row, runningPorts));
    QPushButton *all = nullptr;
    if (section.isRunning && section.services.size() >= 2 && !several) {
      all = sharekit::link(QStringLiteral("Share all ") + QString::number(section.services.size()),
                           sharekit::Role::ink);
      all->setObjectName(QStringLiteral("shareAllLink"));
      std::vector<ShareCandidate> candidates;
      for (const auto &row : section.services)
        candidates.push_back({row.name, row.port, row.category});
      connect(all, &QAbstractButton::clicked, this, [this, candidates] { addMany(candidates); });
    }
    stack->addWidget(buildBlock(qs(section.title), all, rows));
    if (section.isRunning)
      alsoListening();
  }
  stack->addStretch(1);

  auto *scroll = new QScrollArea;
  scroll->setObjectName(QStringLiteral("shareList"));
  scroll->setWidget(inner);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll->viewport()->setAutoFillBackground(false);
  inner->setAutoFillBackground(false);
  const int wanted = inner->sizeHint().height();
  scroll->setFixedHeight(std::clamp(wanted, listMinimumHeight, listMaximumHeight));
  const int keep = listScroll_;
  QTimer::singleShot(0, scroll, [scroll, keep] { scroll->verticalScrollBar()->setValue(keep); });
  return scroll;
}

QWidget *SharePortView::buildBlock(const QString &title, QWidget *link,
                                   const std::vector<QWidget *> &rows) {
  auto *block = new QWidget;
  auto *stack = panelkit::column(block, 6);
  auto *header = new QWidget;
  auto *line = panelkit::row(header, 6);
  auto *titleLabel =
      sharekit::label(title, Theme::system(11.5, QFont::DemiBold), sharekit::Role::muted);
  titleLabel->setObjectName(QStringLiteral("shareSectionTitle"));
  titleLabel->setAccessibleDescription(QStringLiteral("heading"));
  line->addWidget(titleLabel);
  line->addStretch(1);
  if (link)
    line->addWidget(link);
  if (link)
    header->setFixedHeight(32);
  stack->addWidget(header);
  auto *grid = new QWidget;
  auto *cells = new QGridLayout(grid);
  cells->setContentsMargins(0, 0, 0, 0);
  cells->setHorizontalSpacing(6);
  cells->setVerticalSpacing(6);
  cells->setColumnStretch(0, 1);
  cells->setColumnStretch(1, 1);
  cells->setColumnMinimumWidth(0, 10);
  cells->setColumnMinimumWidth(1, 10);
  for (std::size_t at = 0; at < rows.size(); ++at)
    cells->addWidget(rows[at], static_cast<int>(at / 2), static_cast<int>(at % 2));
  stack->addWidget(grid);
  return block;
}

QWidget *SharePortView::catalogueRow(const KnownService &row, const std::set<int> &running) {
  const bool several = selection_.has_value();
  const bool ticked = several && selection_->contains(row.port);
  const bool isRunning = running.contains(row.port);
  auto *button = new RowButton(ticked ? 1.5 : 1, ticked ? sharekit::ink() : sharekit::hairline());
  button->setObjectName(QStringLiteral("shareCatalogueRow"));
  button->setProperty("port", row.port);
  button->setProperty("serviceName", qs(row.name));
  auto *line = panelkit::row(button, 8, QMargins(8, 0, 8, 0));
  line->setAlignment(Qt::AlignVCenter);
  button->adopt(new ServiceIcon(row, qs(row.tag), 30));
  auto *name = new sharekit::FittingLabel(qs(row.name), Theme::system(12.5, QFont::DemiBold),
                                          sharekit::ink(), 0.8);
  auto *port = sharekit::label(QStringLiteral(":") + QString::number(row.port), Theme::mono(11),
                               sharekit::Role::muted);
  button->adopt(textColumn(name, port), 1);
  if (several)
    button->adopt(new sharekit::TickMark(ticked, 15));
  else if (isRunning)
    button->adopt(sharekit::dot(sharekit::green()));

  QString accessible = several ? QString() : QStringLiteral("Share ");
  accessible += qs(row.name) + QStringLiteral(" on port ") + QString::number(row.port);
  if (isRunning)
    accessible += QStringLiteral(", running on this Mac");
  button->setAccessibleName(accessible);
  button->setCheckable(several);
  button->setChecked(ticked);
  const int rowPort = row.port;
  connect(button, &QAbstractButton::clicked, this, [this, rowPort, row] {
    if (selection_)
      toggle(rowPort);
    else
      addOne(row.name, row.port, row.category);
  });
  return button;
}

QWidget *SharePortView::listeningRow(const ListeningPort &entry) {
  const bool several = selection_.has_value();
  const bool ticked = several && selection_->contains(entry.port);
  const auto candidate = ListeningPort::makeCandidate(entry.port, entry.label);
  auto *button = new RowButton(1.5, sharekit::ink());
  button->setObjectName(QStringLiteral("shareListeningRow"));
  button->setProperty("port", entry.port);
  auto *line = panelkit::row(button, 8, QMargins(8, 0, 8, 0));
  line->setAlignment(Qt::AlignVCenter);
  button->adopt(new ServiceIcon(
      std::nullopt,
      candidate.category == Category::web ? QStringLiteral("WEB") : QStringLiteral("TCP"), 30));
  auto *title =
      new sharekit::FittingLabel(QStringLiteral("Port ") + QString::number(entry.port),
                                 Theme::system(12.5, QFont::DemiBold), sharekit::ink(), 1.0);
  // What answered on the port is the service's own text: shown as plain text, never markup.
  auto *label =
      new sharekit::FittingLabel(entry.label ? qs(*entry.label) : QStringLiteral("Running"),
                                 Theme::system(11), sharekit::muted(), 0.8);
  button->adopt(textColumn(title, label), 1);
  if (several)
    button->adopt(new sharekit::TickMark(ticked, 15));
  else
    button->adopt(sharekit::dot(sharekit::green()));
  QString accessible = several ? QString() : QStringLiteral("Share ");
  accessible += qs(ListeningPort::displayTitle(entry.port, entry.label)) +
                QStringLiteral(", running on this Mac");
  button->setAccessibleName(accessible);
  button->setCheckable(several);
  button->setChecked(ticked);
  connect(button, &QAbstractButton::clicked, this, [this, port = entry.port, candidate] {
    if (selection_)
      toggle(port);
    else
      addMany({candidate});
  });
  return button;
}

QWidget *SharePortView::buildFooter() {
  auto *footer = new QWidget;
  auto *line = panelkit::row(footer, 10);
  const QFont small = Theme::system(11.5);
  if (!selection_) {
    // Two lines beside the links rather than a cut sentence in a narrow panel.
    auto *hint = sharekit::label(QStringLiteral("Tap a service to share it."), small,
                                 sharekit::Role::muted, 2);
    hint->setObjectName(QStringLiteral("shareFooterText"));
    line->addWidget(hint);
  } else {
    const auto count = static_cast<qlonglong>(selection_->size());
    auto *share = new QPushButton(QStringLiteral("Share ") + QString::number(count));
    share->setObjectName(QStringLiteral("shareTickedButton"));
    InkButtonStyle::apply(share, 32);
    share->setEnabled(count > 0);
    sharekit::setDimmed(share, count == 0);
    connect(share, &QAbstractButton::clicked, this, [this] { shareTicked(); });
    line->addWidget(share);
    auto *hint = sharekit::label(count == 0 ? QStringLiteral("Tick the services to share.")
                                            : QString::number(count) + QStringLiteral(" ticked"),
                                 small, sharekit::Role::muted, 2);
    hint->setObjectName(QStringLiteral("shareFooterText"));
    line->addWidget(hint);
  }
  line->addStretch(1);
  auto *mode = sharekit::link(selection_ ? QStringLiteral("One at a time")
                                         : QStringLiteral("Select several"),
                              sharekit::Role::ink);
  mode->setObjectName(QStringLiteral("shareModeLink"));
  connect(mode, &QAbstractButton::clicked, this, [this] { toggleMode(); });
  line->addWidget(mode);
  auto *cancelLink = sharekit::link(QStringLiteral("Cancel"), sharekit::Role::ink);
  cancelLink->setObjectName(QStringLiteral("shareCancelLink"));
  connect(cancelLink, &QAbstractButton::clicked, this, [this] { cancel(); });
  line->addWidget(cancelLink);
  return footer;
}

void SharePortView::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  // The desktop switched between light and dark: every colour is taken again.
  if ((event->type() == QEvent::ApplicationPaletteChange ||
       event->type() == QEvent::PaletteChange) &&
      Theme::appearance() != appearance_) {
    appearance_ = Theme::appearance();
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, sharekit::ink());
    setPalette(palette);
    sharekit::recolor(this);
    rebuild();
  }
}

} // namespace corvane
