#pragma once

#include "brimvale/shell/Theme.h"
#include "brimvale/windows/ComposeImportReview.h"
#include "brimvale/windows/LocalProbes.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QPushButton;

namespace corvane {

class MainQueue;
class ServiceManager;

// The window that imports a compose file: the chooser face until a file is read, then the
// review of what it publishes. The file is read once, read-only and bounded, and never written.
// Main thread only; the manager must outlive the window.
class ImportWindow : public QWidget {
  Q_OBJECT

public:
  // Larger files are refused; a file of exactly this size is read.
  static constexpr std::size_t maxFileBytes = 1'000'000;
  static constexpr int contentWidth = 400;

  // Presents a file chooser over `parent` and calls back once: the chosen path, or an error
  // text when the chooser failed, or nothing when it was dismissed.
  using ChooserResult = std::optional<std::expected<QString, QString>>;
  using Chooser = std::function<void(QWidget *parent, std::function<void(ChooserResult)>)>;

  // `dismiss` closes the window (absent: the window closes itself).
  ImportWindow(ServiceManager &manager, std::shared_ptr<MainQueue> main, LocalProbes probes,
               std::function<void()> dismiss = {}, QWidget *parent = nullptr);
  ~ImportWindow() override;

  // The file patterns the chooser offers: *.yml, *.yaml and those of the YAML types the system
  // knows. Built once.
  static const QStringList &importAllowedTypes();
  // The system's file chooser, filtered to those patterns, one file at a time.
  static Chooser fileDialogChooser();
  void setChooser(Chooser chooser) { chooser_ = std::move(chooser); }

  enum class ReadProblem { tooBig, unreadable };
  // At most `limit` + 1 bytes of the file: more than `limit` is tooBig. Never blocks on a special
  // file that has nothing to read.
  static std::expected<std::string, ReadProblem> readBounded(const QString &path,
                                                             std::size_t limit = maxFileBytes);

  // The chooser's completion.
  void readComposeFile(const std::expected<QString, QString> &chosen);
  void choose();
  void done();
  void back();

  const std::optional<ImportReview> &review() const { return review_; }
  bool isChoosing() const { return choosing_; }
  const std::optional<std::string> &problem() const { return problem_; }
  ImportReviewView *reviewView() const { return reviewView_; }

protected:
  void changeEvent(QEvent *event) override;
  void showEvent(QShowEvent *event) override;

private:
  void showFace();

  ServiceManager &manager_;
  std::shared_ptr<MainQueue> main_;
  LocalProbes probes_;
  std::function<void()> dismiss_;
  Chooser chooser_;

  std::optional<ImportReview> review_;
  // Counts the reviews, so that a review view writes only into the review it was made for.
  std::uint64_t reviewNumber_ = 0;
  bool choosing_ = false;
  std::optional<std::string> problem_;

  QWidget *chooserFace_;
  QLabel *problemLabel_;
  QPushButton *chooseButton_;
  QPointer<ImportReviewView> reviewView_;
  // The appearance the colours were taken for.
  Theme::Appearance appearance_ = Theme::appearance();
};

} // namespace corvane
