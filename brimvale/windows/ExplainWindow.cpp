#include "brimvale/windows/ExplainWindow.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/windows/ShareWindowKit.h"

#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace corvane {

namespace {

// Around the content, on every side.
constexpr int padding = 20;

QString qs(const std::string &text) {
  return QString::fromStdString(text);
}

} // namespace

ExplainWindow::ExplainWindow(ServiceManager &manager, std::shared_ptr<MainQueue> main, Ask ask,
                             QWidget *parent)
    : QWidget(parent), manager_(manager), ask_(std::move(ask)), work_(std::move(main)) {
  setObjectName(QStringLiteral("explainWindow"));
  sharekit::paintWindow(*this);
  setFixedWidth(contentWidth);
  layout_ = panelkit::column(this, 0, QMargins(padding, padding, padding, padding));
  explainingWatch_ = manager_.explaining.subscribe([this](const std::optional<ProblemReport> &) {
    if (started_)
      run();
  });
  render();
}

ExplainWindow::~ExplainWindow() {
  work_.cancel();
}

ExplainWindow::Ask ExplainWindow::askModel(ExplainerServer server) {
  return [server](const ProblemReport &report, std::function<void(Explainer::Result)> done) {
    auto worker = SerialQueue::create("corvane.explain");
    // The work holds its queue: once it has answered, the queue goes on its own thread.
    worker->post([worker, report, server, done = std::move(done)]() mutable {
      done(Explainer::explainNow(report, server));
    });
  };
}

void ExplainWindow::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (started_)
    return;
  started_ = true;
  run();
}

void ExplainWindow::run() {
  const auto &report = manager_.explaining.get();
  // The same report again changes nothing: its run goes on, or its answer stays.
  if (asked_ == report && (work_.isRunning() || answer_))
    return;
  work_.restart();
  answer_.reset();
  asked_ = report;
  if (!report) {
    work_.cancel();
    render();
    return;
  }
  render();
  if (!ask_) {
    work_.cancel();
    return;
  }
  const ProblemReport key = *report;
  ask_(key, work_.deliver<Explainer::Result>([this, key](Explainer::Result result) {
    work_.cancel();
    // An answer about another report than the one shown now is not kept.
    if (manager_.explaining.get() != key)
      return;
    answer_ = std::move(result);
    render();
  }));
}

void ExplainWindow::render() {
  if (content_) {
    content_->hide();
    layout_->removeWidget(content_);
    content_->deleteLater();
  }
  content_ = new QWidget;
  // The window is as wide as its content: the content keeps the width the window asks for.
  content_->setFixedWidth(contentWidth - 2 * padding);
  auto *stack = panelkit::column(content_, 14);
  const auto &report = asked_;
  if (!report) {
    auto *none = sharekit::label(
        QStringLiteral("Choose \u201CExplain this problem\u201D on a port that has one."),
        Theme::system(13), sharekit::Role::ink, 3);
    none->setObjectName(QStringLiteral("explainNothingChosen"));
    stack->addWidget(none);
  } else {
    auto *heading = new QWidget;
    auto *lines = panelkit::column(heading, 4);
    // Names from this Mac's shares and from paired Macs, shown as they are stored: plain text.
    auto *title = sharekit::label(qs(report->service) + QStringLiteral(" on ") + qs(report->mac),
                                  Theme::display(17, QFont::Bold), sharekit::Role::ink, 3);
    title->setObjectName(QStringLiteral("explainTitle"));
    lines->addWidget(title);
    auto *problem =
        sharekit::label(qs(report->problem), Theme::system(13), sharekit::Role::muted, 10);
    problem->setObjectName(QStringLiteral("explainProblem"));
    lines->addWidget(problem);
    stack->addWidget(heading);

    if (!answer_) {
      auto *thinking = new QWidget;
      thinking->setObjectName(QStringLiteral("explainThinking"));
      auto *line = panelkit::row(thinking, 8);
      auto *busy = new QProgressBar;
      busy->setRange(0, 0);
      busy->setTextVisible(false);
      busy->setFixedSize(48, 8);
      line->addWidget(busy, 0, Qt::AlignVCenter);
      line->addWidget(sharekit::label(QStringLiteral("Thinking\u2026"), Theme::system(13),
                                      sharekit::Role::muted),
                      0, Qt::AlignVCenter);
      line->addStretch(1);
      stack->addWidget(thinking);
    } else if (*answer_) {
      // The model's words: plain text, selectable, never a link.
      auto *text = sharekit::label(qs(**answer_), Theme::system(13.5), sharekit::Role::ink, 40);
      text->setObjectName(QStringLiteral("explainAnswer"));
      text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
      text->setOpenExternalLinks(false);
      stack->addWidget(text);
    } else {
      auto *failure = sharekit::label(QStringLiteral("Couldn't explain this: ") +
                                          qs(Explainer::errorDescription(answer_->error())),
                                      Theme::system(13), sharekit::Role::amber, 10);
      failure->setObjectName(QStringLiteral("explainFailure"));
      stack->addWidget(failure);
    }
    auto *footnote = sharekit::label(
        QStringLiteral("Written by the local model server on this Mac. It can be wrong."),
        Theme::system(11.5), sharekit::Role::muted, 2);
    footnote->setObjectName(QStringLiteral("explainFootnote"));
    stack->addWidget(footnote);
  }
  layout_->addWidget(content_);
  if (isVisible())
    content_->show();
  adjustSize();
}

void ExplainWindow::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (sharekit::followAppearance(*this, *event, appearance_))
    render();
}

} // namespace corvane
