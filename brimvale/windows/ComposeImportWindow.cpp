#include "brimvale/windows/ComposeImportWindow.h"

#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/Unicode.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/windows/ShareWindowKit.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMimeDatabase>
#include <QPushButton>
#include <QVBoxLayout>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

// Around either face, on every side.
constexpr int padding = 20;

// Closes the descriptor when it goes.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0)
      ::close(fd);
  }
};

} // namespace

ImportWindow::ImportWindow(ServiceManager &manager, std::shared_ptr<MainQueue> main,
                           LocalProbes probes, std::function<void()> dismiss, QWidget *parent)
    : QWidget(parent), manager_(manager), main_(std::move(main)), probes_(std::move(probes)),
      dismiss_(std::move(dismiss)), chooser_(fileDialogChooser()) {
  setObjectName(QStringLiteral("importWindow"));
  sharekit::paintWindow(*this);
  auto *stack = panelkit::column(this, 0, QMargins(padding, padding, padding, padding));
  setFixedWidth(contentWidth);

  chooserFace_ = new QWidget;
  chooserFace_->setObjectName(QStringLiteral("importChooser"));
  // The window is as wide as its face: each face keeps the width the window asks for.
  chooserFace_->setFixedWidth(contentWidth - 2 * padding);
  auto *face = panelkit::column(chooserFace_, 12);
  face->addWidget(sharekit::label(QStringLiteral("Import from a compose file"),
                                  Theme::system(17, QFont::DemiBold), sharekit::Role::ink));
  face->addWidget(sharekit::label(
      QStringLiteral("Choose a compose.yaml, docker-compose.yml or corvane.yml. Corvane reads the "
                     "ports it publishes on this Mac and shares them together as one environment. "
                     "It only reads the file you choose."),
      Theme::system(12.5), sharekit::Role::muted, 6));
  problemLabel_ = sharekit::label({}, Theme::system(12), sharekit::Role::amber, 3);
  problemLabel_->setObjectName(QStringLiteral("importWindowProblem"));
  face->addWidget(problemLabel_);
  auto *buttons = new QWidget;
  auto *line = panelkit::row(buttons, 12);
  chooseButton_ = new QPushButton(QStringLiteral("Choose a File\u2026"));
  chooseButton_->setObjectName(QStringLiteral("importChooseButton"));
  InkButtonStyle::apply(chooseButton_, 34);
  line->addWidget(chooseButton_, 0, Qt::AlignVCenter);
  line->addStretch(1);
  auto *cancel = sharekit::link(QStringLiteral("Cancel"), sharekit::Role::ink);
  cancel->setObjectName(QStringLiteral("importChooserCancel"));
  line->addWidget(cancel, 0, Qt::AlignVCenter);
  face->addWidget(buttons);
  stack->addWidget(chooserFace_);

  connect(chooseButton_, &QAbstractButton::clicked, this, [this] { choose(); });
  connect(cancel, &QAbstractButton::clicked, this, [this] { done(); });
  sharekit::bindKey(chooserFace_, QKeySequence(Qt::Key_Return), chooseButton_);
  sharekit::bindKey(chooserFace_, QKeySequence(Qt::Key_Enter), chooseButton_);
  sharekit::bindKey(chooserFace_, QKeySequence(Qt::Key_Escape), cancel);
  showFace();
}

ImportWindow::~ImportWindow() = default;

const QStringList &ImportWindow::importAllowedTypes() {
  static const QStringList patterns = [] {
    QStringList made{QStringLiteral("*.yml"), QStringLiteral("*.yaml")};
    const QMimeDatabase types;
    for (const char *name : {"application/yaml", "application/x-yaml", "text/yaml", "text/x-yaml"})
      if (const QMimeType type = types.mimeTypeForName(QLatin1String(name)); type.isValid())
        for (const QString &glob : type.globPatterns())
          if (!made.contains(glob))
            made << glob;
    return made;
  }();
  return patterns;
}

ImportWindow::Chooser ImportWindow::fileDialogChooser() {
  return [](QWidget *parent, std::function<void(ChooserResult)> completion) {
    auto *dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setNameFilter(QStringLiteral("YAML files (") +
                          importAllowedTypes().join(QLatin1Char(' ')) + QLatin1Char(')'));
    auto answered = std::make_shared<bool>(false);
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                     [completion, answered](const QString &path) {
                       *answered = true;
                       completion(ChooserResult(std::expected<QString, QString>(path)));
                     });
    QObject::connect(dialog, &QDialog::finished, dialog, [completion, answered](int) {
      if (!*answered) {
        *answered = true;
        completion(std::nullopt);
      }
    });
    dialog->open();
  };
}

std::expected<std::string, ImportWindow::ReadProblem> ImportWindow::readBounded(const QString &path,
                                                                                std::size_t limit) {
  const QByteArray name = QFile::encodeName(path);
  // Not blocking: opening a pipe without a writer, or reading one that stays silent, must not
  // hang the window.
  Descriptor file{::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
  if (file.fd < 0)
    return std::unexpected(ReadProblem::unreadable);
  struct stat info {};
  if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_size) > limit)
    return std::unexpected(ReadProblem::tooBig);
  // The size can be wrong (a growing or special file): never more than one byte past the limit
  // is read, and that byte alone says the file is too big.
  std::string bytes;
  bytes.resize(limit + 1);
  std::size_t have = 0;
  while (have < bytes.size()) {
    const ssize_t got = ::read(file.fd, bytes.data() + have, bytes.size() - have);
    if (got == 0)
      break;
    if (got < 0) {
      if (errno == EINTR)
        continue;
      return std::unexpected(ReadProblem::unreadable);
    }
    have += static_cast<std::size_t>(got);
  }
  if (have > limit)
    return std::unexpected(ReadProblem::tooBig);
  bytes.resize(have);
  return bytes;
}

void ImportWindow::readComposeFile(const std::expected<QString, QString> &chosen) {
  if (!chosen)
    return;
  const auto bytes = readBounded(*chosen);
  if (!bytes) {
    problem_ = bytes.error() == ReadProblem::tooBig ? "That file is too big to be a compose file."
                                                    : "Corvane couldn't read that file.";
    showFace();
    return;
  }
  problem_.reset();
  const QFileInfo info(*chosen);
  review_ = makeImportReview(validUTF8(*bytes), info.fileName().toStdString(),
                             info.absoluteDir().dirName().toStdString());
  ++reviewNumber_;
  showFace();
}

void ImportWindow::choose() {
  if (choosing_ || !chooser_)
    return;
  choosing_ = true;
  QPointer<ImportWindow> self(this);
  chooser_(this, [self](ChooserResult result) {
    if (!self)
      return;
    self->choosing_ = false;
    if (result)
      self->readComposeFile(*result);
  });
}

void ImportWindow::done() {
  review_.reset();
  problem_.reset();
  showFace();
  if (dismiss_)
    dismiss_();
  else
    close();
}

void ImportWindow::back() {
  review_.reset();
  showFace();
  choose();
}

void ImportWindow::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (!review_ && !choosing_)
    choose();
}

void ImportWindow::showFace() {
  problemLabel_->setText(problem_ ? QString::fromStdString(*problem_) : QString());
  problemLabel_->setVisible(problem_.has_value());
  // A view made for an earlier review goes; one made for the current review stays.
  const bool current =
      reviewView_ && reviewView_->property("reviewNumber").toULongLong() == reviewNumber_;
  if (reviewView_ && (!review_ || !current)) {
    reviewView_->hide();
    layout()->removeWidget(reviewView_);
    // Deleted later: the click that led here may come from one of its buttons.
    reviewView_->deleteLater();
    reviewView_ = nullptr;
  }
  if (review_ && !reviewView_) {
    const std::uint64_t number = reviewNumber_;
    QPointer<ImportWindow> self(this);
    ImportReviewBinding binding;
    binding.get = [self, number]() -> const ImportReview * {
      if (!self || self->reviewNumber_ != number || !self->review_)
        return nullptr;
      return &*self->review_;
    };
    binding.set = [self, number](ImportReview value) {
      // Writing into a review that was let go or replaced changes nothing.
      if (self && self->reviewNumber_ == number && self->review_)
        self->review_ = std::move(value);
    };
    reviewView_ = new ImportReviewView(
        manager_, main_, probes_, std::move(binding),
        [self] {
          if (self)
            self->done();
        },
        [self] {
          if (self)
            self->back();
        });
    reviewView_->setProperty("reviewNumber", static_cast<qulonglong>(number));
    reviewView_->setFixedWidth(contentWidth - 2 * padding);
    layout()->addWidget(reviewView_);
  }
  chooserFace_->setVisible(!review_);
  if (review_ && reviewView_)
    reviewView_->show();
  if (!review_ && isVisible())
    chooseButton_->setFocus();
  adjustSize();
}

void ImportWindow::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (sharekit::followAppearance(*this, *event, appearance_))
    sharekit::recolor(this);
}

} // namespace corvane
