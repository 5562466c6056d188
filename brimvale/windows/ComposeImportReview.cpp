#include "brimvale/windows/ComposeImportReview.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/Unicode.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/windows/ShareWindowKit.h"

#include <QAbstractButton>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

namespace corvane {

namespace {

// A file may declare thousands of ports that cannot be shared; the rest are counted.
constexpr std::size_t maxSkippedLines = 20;

QString qs(const std::string &text) {
  return QString::fromStdString(text);
}

// A row of the card: a plain button over the whole row that ticks or unticks its port.
class ReviewRow : public QAbstractButton {
public:
  ReviewRow() {
    setCursor(Qt::PointingHandCursor);
    setMinimumHeight(44);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
  }
  void adopt(QWidget *widget, int stretch = 0) {
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
    static_cast<QHBoxLayout *>(layout())->addWidget(widget, stretch);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    if (!isDown())
      return;
    QPainter painter(this);
    painter.fillRect(rect(), panelkit::faded(sharekit::divider(), 0.6));
  }
};

} // namespace

std::vector<ComposeImport::Found> ImportReview::selected() const {
  std::vector<ComposeImport::Found> chosen;
  for (const auto &found : result.found)
    if (ticked.contains(found.port))
      chosen.push_back(found);
  return chosen;
}

ImportReview makeImportReview(std::string_view text, std::string_view fileName,
                              std::string_view folderName) {
  ImportReview review;
  review.fileName = std::string(fileName);
  review.result = ComposeImport::importCompose(text, fileName);
  const std::string source =
      review.result.project ? *review.result.project : std::string(folderName);
  review.name = characterPrefix(cleanDisplayText(source, ImportReviewView::nameLimit),
                                ImportReviewView::nameLimit);
  for (const auto &found : review.result.found)
    review.ticked.insert(found.port);
  return review;
}

ImportReviewView::ImportReviewView(ServiceManager &manager, std::shared_ptr<MainQueue> main,
                                   LocalProbes probes, ImportReviewBinding review,
                                   std::function<void()> done, std::function<void()> back,
                                   std::function<Date()> now, QWidget *parent)
    : QWidget(parent), manager_(manager), probes_(std::move(probes)), binding_(std::move(review)),
      done_(std::move(done)), back_(std::move(back)), now_(std::move(now)), work_(std::move(main)) {
  setObjectName(QStringLiteral("importReview"));
  auto *stack = panelkit::column(this, 14);

  auto *header = new QWidget;
  auto *headerStack = panelkit::column(header, 2);
  headerStack->addWidget(sharekit::label(QStringLiteral("Share as an environment"),
                                         Theme::system(17, QFont::DemiBold), sharekit::Role::ink));
  // The file's name as the file system gave it: cleaned like any text from outside.
  auto *from = sharekit::label(QStringLiteral("From ") +
                                   qs(cleanDisplayText(current() ? current()->fileName : "", 120)),
                               Theme::mono(11.5), sharekit::Role::muted);
  from->setObjectName(QStringLiteral("importFrom"));
  headerStack->addWidget(from);
  stack->addWidget(header);

  auto *nameBlock = new QWidget;
  auto *nameStack = panelkit::column(nameBlock, 6);
  nameStack->addWidget(sharekit::label(QStringLiteral("Name"), Theme::system(11.5, QFont::DemiBold),
                                       sharekit::Role::muted));
  nameField_ = sharekit::field(QStringLiteral("Environment name"), 36);
  nameField_->setObjectName(QStringLiteral("importNameField"));
  nameField_->setText(qs(current() ? current()->name : std::string()));
  nameStack->addWidget(nameField_);
  addsTo_ = sharekit::label({}, Theme::system(11.5), sharekit::Role::muted, 2);
  addsTo_->setObjectName(QStringLiteral("importAddsTo"));
  nameStack->addWidget(addsTo_);
  stack->addWidget(nameBlock);

  auto *listHolder = new QWidget;
  listLayout_ = panelkit::column(listHolder, 0);
  stack->addWidget(listHolder);

  problemLabel_ = sharekit::label({}, Theme::system(12), sharekit::Role::amber, 4);
  problemLabel_->setObjectName(QStringLiteral("importProblem"));
  stack->addWidget(problemLabel_);

  auto *buttons = new QWidget;
  auto *line = panelkit::row(buttons, 12);
  shareButton_ = new QPushButton;
  shareButton_->setObjectName(QStringLiteral("importShareButton"));
  InkButtonStyle::apply(shareButton_, 34);
  line->addWidget(shareButton_);
  line->addStretch(1);
  auto *other = sharekit::link(QStringLiteral("Other file"), sharekit::Role::ink);
  other->setObjectName(QStringLiteral("importOtherFile"));
  line->addWidget(other);
  auto *cancel = sharekit::link(QStringLiteral("Cancel"), sharekit::Role::ink);
  cancel->setObjectName(QStringLiteral("importCancel"));
  line->addWidget(cancel);
  stack->addWidget(buttons);

  connect(shareButton_, &QAbstractButton::clicked, this, [this] { shareImport(); });
  connect(other, &QAbstractButton::clicked, this, [this] {
    if (back_)
      back_();
  });
  connect(cancel, &QAbstractButton::clicked, this, [this] {
    if (done_)
      done_();
  });
  sharekit::bindKey(this, QKeySequence(Qt::Key_Return), shareButton_);
  sharekit::bindKey(this, QKeySequence(Qt::Key_Enter), shareButton_);
  sharekit::bindKey(this, QKeySequence(Qt::Key_Escape), cancel);
  connect(nameField_, &QLineEdit::textEdited, this, [this](const QString &text) {
    if (const ImportReview *review = current()) {
      ImportReview edited = *review;
      edited.name = text.toStdString();
      binding_.set(std::move(edited));
    }
    rebuild();
  });
  preferencesWatch_ = manager_.preferences.subscribe([this](const Preferences &) { rebuild(); });
  rebuild();
}

ImportReviewView::~ImportReviewView() {
  work_.cancel();
}

std::string ImportReviewView::cleanedName() const {
  const ImportReview *review = current();
  return review ? cleanDisplayText(review->name, nameLimit) : std::string();
}

std::optional<std::string>
ImportReviewView::alreadySharedNote(const ComposeImport::Found &found) const {
  const auto &services = manager_.preferences->services;
  const auto existing = std::ranges::find(services, found.port, &ExposedService::port);
  if (existing == services.end())
    return std::nullopt;
  std::string note =
      existing->name == found.name ? "Already shared" : "Already shared as " + existing->name;
  const ImportReview *review = current();
  if (auto environment = manager_.findEnvironment(existing->id);
      environment && !equalsIgnoringCase(environment->name, review ? review->name : ""))
    note += " \u00B7 moves from " + environment->name;
  if (!existing->enabled || (existing->expires && *existing->expires <= now_()))
    note += " \u00B7 paused, will resume";
  return note;
}

std::optional<std::string> ImportReviewView::addsToLine() const {
  const std::string cleaned = cleanedName();
  if (const auto &environments = manager_.preferences->environments)
    for (const auto &environment : *environments)
      if (equalsIgnoringCase(environment.name, cleaned))
        return "Adds to your " + environment.name + " environment.";
  return std::nullopt;
}

QString ImportReviewView::shareTitle() const {
  const ImportReview *review = current();
  QString title = QStringLiteral("Share ") +
                  QString::number(static_cast<qlonglong>(review ? review->selected().size() : 0));
  if (const std::string cleaned = cleanedName(); !cleaned.empty())
    title += QStringLiteral(" as ") + qs(cleaned);
  return title;
}

bool ImportReviewView::canShare() const {
  const ImportReview *review = current();
  return review && !review->selected().empty() && !cleanedName().empty();
}

void ImportReviewView::toggle(int port) {
  const ImportReview *review = current();
  if (!review)
    return;
  ImportReview changed = *review;
  if (!changed.ticked.erase(port))
    changed.ticked.insert(port);
  binding_.set(std::move(changed));
  rebuild();
}

void ImportReviewView::shareImport() {
  const ImportReview *review = current();
  if (!review)
    return;
  const std::string name = review->name;
  if (const auto error = manager_.checkEnvironmentName(name)) {
    problem_ = std::string(environmentDescription(*error));
    rebuild();
    return;
  }
  std::vector<ShareCandidate> candidates;
  for (const auto &found : review->selected())
    candidates.push_back({found.name, found.port, found.category});
  const auto outcome = manager_.shareAsEnvironment(name, candidates);
  ShareBatchResult failures;
  failures.failed = outcome.failed;
  auto text = failures.summary();
  if (!outcome.environmentID) {
    problem_ = text ? *text : std::string("Nothing was shared.");
    rebuild();
    return;
  }
  if (text) {
    manager_.setNotice(std::move(text));
    manager_.scheduleNoticeClear();
  }
  if (done_)
    done_();
}

void ImportReviewView::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (started_)
    return;
  started_ = true;
  nameField_->setFocus();
  startProbe();
}

void ImportReviewView::startProbe() {
  const ImportReview *review = current();
  if (!review || review->running)
    return;
  std::set<int> proxied;
  for (const auto &row : manager_.incoming.get())
    if (row.localPort)
      proxied.insert(*row.localPort);
  std::vector<int> candidates;
  for (const auto &found : review->result.found)
    if (!proxied.contains(found.port) &&
        std::ranges::find(candidates, found.port) == candidates.end())
      candidates.push_back(found.port);

  // The review the probe was started for: its result goes back only into that review.
  struct Probe {
    std::string fileName;
    std::vector<ComposeImport::Found> found;
    std::size_t remaining = 0;
    std::set<int> accepted;
  };
  auto probe = std::make_shared<Probe>();
  probe->fileName = review->fileName;
  probe->found = review->result.found;
  probe->remaining = candidates.size();
  work_.restart();
  auto store = [this, probe] {
    work_.cancel();
    const ImportReview *now = current();
    if (!now || now->fileName != probe->fileName || now->result.found != probe->found)
      return;
    ImportReview updated = *now;
    updated.running = probe->accepted;
    std::set<int> runningFound;
    for (const auto &found : updated.result.found)
      if (probe->accepted.contains(found.port))
        runningFound.insert(found.port);
    if (!runningFound.empty())
      updated.ticked = std::move(runningFound);
    binding_.set(std::move(updated));
    rebuild();
  };
  if (candidates.empty()) {
    store();
    return;
  }
  for (int port : candidates)
    probes_.accepts(port, probeTimeout, work_.deliver<bool>([probe, port, store](bool ok) {
      if (ok)
        probe->accepted.insert(port);
      if (--probe->remaining == 0)
        store();
    }));
}

void ImportReviewView::rebuild() {
  const ImportReview *review = current();
  if (auto line = addsToLine()) {
    addsTo_->setText(qs(*line));
    addsTo_->show();
  } else {
    addsTo_->clear();
    addsTo_->hide();
  }
  problemLabel_->setText(problem_ ? qs(*problem_) : QString());
  problemLabel_->setVisible(problem_.has_value());
  sharekit::setPlainTitle(shareButton_, shareTitle());
  const bool can = canShare();
  shareButton_->setEnabled(can);
  sharekit::setDimmed(shareButton_, !can);

  if (list_) {
    list_->hide();
    listLayout_->removeWidget(list_);
    // Deleted later: the click that led here may come from one of its rows.
    list_->deleteLater();
    list_ = nullptr;
  }
  if (review) {
    list_ = buildList(*review);
    listLayout_->addWidget(list_);
    if (isVisible())
      list_->show();
  }
}

QWidget *ImportReviewView::buildList(const ImportReview &review) {
  auto *inner = new QWidget;
  auto *stack = panelkit::column(inner, 14, QMargins(0, 0, 2, 0));
  if (review.result.found.empty()) {
    auto *none = sharekit::label(QStringLiteral("This file doesn't publish any ports on this Mac."),
                                 Theme::system(12.5), sharekit::Role::muted, 2);
    none->setObjectName(QStringLiteral("importNothingFound"));
    stack->addWidget(none);
  } else {
    auto *card = new sharekit::RoundedFrame(12);
    card->setObjectName(QStringLiteral("importCard"));
    card->setFill(sharekit::card());
    card->setBorder(sharekit::hairline(), 1);
    auto *rows = panelkit::column(card, 0, QMargins(1, 1, 1, 1));
    bool first = true;
    for (const auto &found : review.result.found) {
      if (!first)
        rows->addWidget(panelkit::separator(sharekit::divider()));
      first = false;
      rows->addWidget(buildRow(review, found));
    }
    stack->addWidget(card);
  }
  if (!review.result.skipped.empty()) {
    auto *skipped = new QWidget;
    skipped->setObjectName(QStringLiteral("importSkipped"));
    auto *lines = panelkit::column(skipped, 4);
    auto *heading = sharekit::label(QStringLiteral("Can't share"),
                                    Theme::system(11.5, QFont::DemiBold), sharekit::Role::muted);
    heading->setAccessibleDescription(QStringLiteral("heading"));
    lines->addWidget(heading);
    const auto &all = review.result.skipped;
    const std::size_t shown = std::min(all.size(), maxSkippedLines);
    for (std::size_t i = 0; i < shown; ++i) {
      // The reader's sentence quotes the file: plain text, wrapped.
      auto *reason = sharekit::label(qs(all[i]), Theme::system(11.5), sharekit::Role::muted, 8);
      reason->setObjectName(QStringLiteral("importSkippedText"));
      lines->addWidget(reason);
    }
    if (all.size() > shown) {
      auto *more = sharekit::label(qs("and " + std::to_string(all.size() - shown) + " more"),
                                   Theme::system(11.5), sharekit::Role::muted);
      more->setObjectName(QStringLiteral("importSkippedMore"));
      lines->addWidget(more);
    }
    stack->addWidget(skipped);
  }
  stack->addStretch(1);

  auto *scroll = new QScrollArea;
  scroll->setObjectName(QStringLiteral("importList"));
  scroll->setWidget(inner);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->viewport()->setAutoFillBackground(false);
  inner->setAutoFillBackground(false);
  // The window is 400 points wide with 20 of padding: the list's height follows its wrapped text.
  constexpr int listWidth = 360;
  QLayout *layout = inner->layout();
  const int wanted = layout->hasHeightForWidth() ? layout->totalHeightForWidth(listWidth)
                                                 : layout->totalSizeHint().height();
  scroll->setFixedHeight(std::min(wanted, listMaximumHeight));
  return scroll;
}

QWidget *ImportReviewView::buildRow(const ImportReview &review, const ComposeImport::Found &found) {
  const bool ticked = review.ticked.contains(found.port);
  const bool running = review.running && review.running->contains(found.port);
  const auto note = alreadySharedNote(found);
  // Names from the file are shown cleaned; the manager gets them as written and cleans them itself.
  const QString name = qs(cleanDisplayText(found.name, nameLimit));

  auto *row = new ReviewRow;
  row->setObjectName(QStringLiteral("importRow"));
  row->setProperty("port", found.port);
  auto *line = panelkit::row(row, 10, QMargins(12, 6, 12, 6));
  line->setAlignment(Qt::AlignVCenter);
  row->adopt(new sharekit::TickMark(ticked, 15));

  auto *texts = new QWidget;
  auto *textStack = panelkit::column(texts, 1);
  auto *title = new QWidget;
  auto *titleLine = panelkit::row(title, 6);
  auto *nameLabel = sharekit::label(name, Theme::system(13, QFont::DemiBold), sharekit::Role::ink);
  nameLabel->setObjectName(QStringLiteral("importRowName"));
  titleLine->addWidget(nameLabel);
  titleLine->addWidget(sharekit::label(QStringLiteral(":") + QString::number(found.port),
                                       Theme::mono(11.5), sharekit::Role::muted));
  titleLine->addStretch(1);
  textStack->addWidget(title);
  if (note) {
    auto *noteLabel = sharekit::label(qs(*note), Theme::system(11.5), sharekit::Role::muted, 3);
    noteLabel->setObjectName(QStringLiteral("importRowNote"));
    textStack->addWidget(noteLabel);
  }
  row->adopt(texts, 1);
  if (running) {
    auto *mark = new QWidget;
    mark->setObjectName(QStringLiteral("importRowRunning"));
    auto *markLine = panelkit::row(mark, 5);
    markLine->addWidget(sharekit::dot(sharekit::green()));
    markLine->addWidget(
        sharekit::label(QStringLiteral("running"), Theme::system(11.5), sharekit::Role::muted));
    row->adopt(mark);
  }
  QString accessible = name + QStringLiteral(", port ") + QString::number(found.port);
  if (running)
    accessible += QStringLiteral(", running");
  if (note)
    accessible += QStringLiteral(", already shared");
  row->setAccessibleName(accessible);
  row->setCheckable(true);
  row->setChecked(ticked);
  connect(row, &QAbstractButton::clicked, this, [this, port = found.port] { toggle(port); });
  return row;
}

void ImportReviewView::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  // The desktop switched between light and dark: every colour is taken again.
  if ((event->type() == QEvent::ApplicationPaletteChange ||
       event->type() == QEvent::PaletteChange) &&
      Theme::appearance() != appearance_) {
    appearance_ = Theme::appearance();
    sharekit::recolor(this);
    rebuild();
  }
}

} // namespace corvane
