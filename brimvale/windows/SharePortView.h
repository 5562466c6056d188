#pragma once

#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/foundation/Preferences.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Published.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/windows/LocalProbes.h"
#include "brimvale/windows/ViewWork.h"

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace corvane {

class ServiceManager;

// Sharing a port of this Mac, shown inline in the panels: a search field that filters the
// service catalogue and doubles as the name of a share of one's own, with a port field; the
// catalogue services not shared yet, those that answer on this Mac first; and the other ports
// that something listens on here. One click shares a service, or several rows are ticked and
// shared together. Every change goes through the manager; the view keeps only what the user
// is editing and what its scan of this Mac found.
//
// The scan starts when the view is first shown and ends with the view: nothing it finds later
// is stored. Main thread only; the manager must outlive the view.
class SharePortView : public QWidget {
  Q_OBJECT

public:
  enum class Field { name, port };

  struct Section {
    std::string title;
    std::vector<KnownService> services;
    bool isRunning = false;

    bool operator==(const Section &) const = default;
  };

  static constexpr double catalogueTimeout = 0.6;
  static constexpr double widerTimeout = 0.4;
  static constexpr int listMinimumHeight = 68;
  static constexpr int listMaximumHeight = 268;

  // `done` ends the view (the opener then removes it); `openWindow` opens a window by its id
  // and brings the application to the front.
  SharePortView(ServiceManager &manager, std::shared_ptr<MainQueue> main, LocalProbes probes,
                std::function<void(const QString &id)> openWindow, std::function<void()> done,
                bool scansWider, QWidget *parent = nullptr);
  ~SharePortView() override;

  // What the view shows, from its state and the manager's shares and incoming ports.
  static std::vector<Section> sectionsFor(std::string_view name, const std::set<int> &listening,
                                          const std::vector<ExposedService> &services);
  static std::set<int> proxiedPortsOf(const std::vector<IncomingService> &incoming);
  static std::vector<ListeningPort> otherRowsFor(const std::vector<ListeningPort> &listeners,
                                                 std::string_view name,
                                                 const std::vector<ExposedService> &services,
                                                 const std::set<int> &proxiedPorts);
  // A whole decimal number: white space around, an optional sign, digits only, 64-bit range.
  static std::optional<std::int64_t> wholeNumber(std::string_view text);
  static bool canShareTyped(std::string_view name, std::string_view port);
  static std::string emptyMessageFor(std::string_view name,
                                     const std::vector<ExposedService> &services);

  std::vector<Section> sections() const;
  std::vector<ListeningPort> otherRows() const;
  const std::optional<std::set<int>> &selection() const { return selection_; }
  const std::optional<std::string> &error() const { return error_; }
  const std::set<int> &listening() const { return listening_; }
  const std::vector<ListeningPort> &otherListeners() const { return otherListeners_; }
  bool isScanning() const { return work_.isRunning(); }
  std::optional<Field> focus() const;

  // The user's operations.
  void submitTyped();
  void addOne(const std::string &name, int port, ExposedService::ServiceCategory category);
  void addMany(const std::vector<ShareCandidate> &candidates);
  void toggle(int port);
  void toggleMode();
  void shareTicked();
  void cancel();
  void openImporter();

protected:
  void changeEvent(QEvent *event) override;
  void showEvent(QShowEvent *event) override;
  bool event(QEvent *event) override;

private:
  std::string typedName() const;
  std::string typedPort() const;
  void setError(std::optional<std::string> text);
  void finish();
  void startScan();
  void scanWider();
  void rebuild();
  void updateShareButton();
  QWidget *buildList(const std::vector<Section> &sections,
                     const std::vector<ListeningPort> &others);
  QWidget *buildBlock(const QString &title, QWidget *link, const std::vector<QWidget *> &rows);
  QWidget *catalogueRow(const KnownService &row, const std::set<int> &running);
  QWidget *listeningRow(const ListeningPort &entry);
  QWidget *buildFooter();

  ServiceManager &manager_;
  LocalProbes probes_;
  std::function<void(const QString &)> openWindow_;
  std::function<void()> done_;
  bool scansWider_;
  bool finished_ = false;

  std::optional<std::set<int>> selection_;
  std::optional<std::string> error_;
  std::set<int> listening_;
  std::vector<ListeningPort> otherListeners_;
  std::set<int> proxied_;
  bool started_ = false;
  // The field that had the keyboard focus when the panel moved the view to a new parent.
  std::optional<Field> focusBeforeMove_;

  QLineEdit *nameField_;
  QLineEdit *portField_;
  QPushButton *shareButton_;
  QVBoxLayout *bodyLayout_;
  QWidget *body_ = nullptr;
  int listScroll_ = 0;
  Published<Preferences>::Subscription preferencesWatch_;
  Published<std::vector<IncomingService>>::Subscription incomingWatch_;
  ViewWork work_;
  // The appearance the colours were taken for.
  Theme::Appearance appearance_ = Theme::appearance();
};

} // namespace corvane
