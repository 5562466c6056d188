#pragma once

#include "brimvale/catalogue/ComposeImport.h"
#include "brimvale/foundation/Preferences.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Published.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/windows/LocalProbes.h"
#include "brimvale/windows/ViewWork.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace corvane {

class ServiceManager;

// What the compose reader found in one file, with the user's choices: the environment's name,
// the ticked ports, and the ports found running on this Mac (absent until probed).
struct ImportReview {
  std::string fileName;
  std::string name;
  ComposeImport::Result result;
  std::set<int> ticked;
  std::optional<std::set<int>> running;

  bool operator==(const ImportReview &) const = default;

  // The found entries whose port is ticked, in file order.
  std::vector<ComposeImport::Found> selected() const;
};

// Reads the file's text: the project's name (else the folder's), cleaned to 40 characters, and
// every found port ticked.
ImportReview makeImportReview(std::string_view text, std::string_view fileName,
                              std::string_view folderName);

// The window's review, reached through the window: `get` is null once the window let the review
// go, and `set` then does nothing.
struct ImportReviewBinding {
  std::function<const ImportReview *()> get;
  std::function<void(ImportReview)> set;
};

// Reviewing a compose file's ports and sharing the ticked ones as one environment. A probe of
// the found ports marks which run on this Mac and narrows the ticks to them; it runs once per
// review and its result is written back only into the review it was started for.
// Main thread only; the manager must outlive the view.
class ImportReviewView : public QWidget {
  Q_OBJECT

public:
  static constexpr double probeTimeout = 0.6;
  static constexpr int nameLimit = 40;
  static constexpr int listMaximumHeight = 380;

  ImportReviewView(ServiceManager &manager, std::shared_ptr<MainQueue> main, LocalProbes probes,
                   ImportReviewBinding review, std::function<void()> done,
                   std::function<void()> back, std::function<Date()> now = referenceDateNow,
                   QWidget *parent = nullptr);
  ~ImportReviewView() override;

  // The note of a found port that a share already uses: none when no share uses it.
  std::optional<std::string> alreadySharedNote(const ComposeImport::Found &found) const;
  std::optional<std::string> addsToLine() const;
  QString shareTitle() const;
  bool canShare() const;
  const std::optional<std::string> &problem() const { return problem_; }
  bool isProbing() const { return work_.isRunning(); }

  void toggle(int port);
  void shareImport();

protected:
  void changeEvent(QEvent *event) override;
  void showEvent(QShowEvent *event) override;

private:
  const ImportReview *current() const { return binding_.get ? binding_.get() : nullptr; }
  std::string cleanedName() const;
  void startProbe();
  void rebuild();
  QWidget *buildList(const ImportReview &review);
  QWidget *buildRow(const ImportReview &review, const ComposeImport::Found &found);

  ServiceManager &manager_;
  LocalProbes probes_;
  ImportReviewBinding binding_;
  std::function<void()> done_;
  std::function<void()> back_;
  std::function<Date()> now_;
  std::optional<std::string> problem_;
  bool started_ = false;

  QLineEdit *nameField_;
  QLabel *addsTo_;
  QVBoxLayout *listLayout_;
  QWidget *list_ = nullptr;
  QLabel *problemLabel_;
  QPushButton *shareButton_;
  Published<Preferences>::Subscription preferencesWatch_;
  ViewWork work_;
  // The appearance the colours were taken for.
  Theme::Appearance appearance_ = Theme::appearance();
};

} // namespace corvane
