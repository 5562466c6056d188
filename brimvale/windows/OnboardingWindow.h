#pragma once

#include "brimvale/panels/NearbyMapView.h"
#include "brimvale/shell/Theme.h"

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace corvane {

class UserDefaults;
class WindowRegistry;
struct WindowContext;

// The first-run window: three short steps (what the application does, how it stays private,
// how to start) with "Back" and "Continue", ending in "Pair a Mac" and "Later". However the
// user leaves it (either button, the close button, or the window going with the application)
// "didOnboard" becomes true, so it is shown once.
//
// Main thread only; the defaults must outlive the window.
class OnboardingWindow : public QWidget {
  Q_OBJECT

public:
  static constexpr const char *didOnboardKey = "didOnboard";
  static constexpr int windowWidth = 520;
  // Taller when a step does not fit at this system's fonts, the same for every step.
  static constexpr int windowHeight = 470;
  static constexpr int stepCount = 3;

  // `pair` opens the pairing window; `demo` are the Macs of the first step's sample map.
  OnboardingWindow(UserDefaults &defaults, std::function<void()> pair, std::vector<MapNode> demo,
                   bool reduceMotion, QWidget *parent = nullptr);
  ~OnboardingWindow() override;

  int step() const { return step_; }
  void forward();
  void back();
  // "Pair a Mac": done, the window closes, then the pairing window opens.
  void pairNow();
  // "Later": done, the window closes.
  void later();

protected:
  void hideEvent(QHideEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;
  void changeEvent(QEvent *event) override;

private:
  void markDone();
  void rebuild();
  QWidget *stepContent();
  // The height of the tallest step's content with its padding.
  int tallestStep();

  UserDefaults &defaults_;
  std::function<void()> pair_;
  std::vector<MapNode> demo_;
  bool reduceMotion_;
  int step_ = 0;

  // The appearance the pieces were coloured for.
  Theme::Appearance appearance_ = Theme::Appearance::light;
  QVBoxLayout *stepLayout_;
  QWidget *separator_;
  QWidget *content_ = nullptr;
  QLabel *counter_;
  QPushButton *back_;
  QPushButton *continue_;
};

// What the shell shows in the window "onboarding": the window with the two sample Macs, whose
// "Pair a Mac" opens the window "pairing" through `openWindow`.
std::vector<MapNode> onboardingDemoNodes();
OnboardingWindow *makeOnboardingLauncher(UserDefaults &defaults,
                                         std::function<void(const QString &id)> openWindow,
                                         bool reduceMotion);

// Adds the window "onboarding", built by the launcher over the manager's standard defaults.
void addOnboardingWindow(WindowRegistry &registry, const WindowContext &context);

} // namespace corvane
