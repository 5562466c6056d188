// The first-run window: its three steps and footer, the keyboard's way through, and
// "didOnboard" written however the user leaves; screens of each step in both appearances.
#include "brimvale/platform/UserDefaults.h"
#include "brimvale/windows/OnboardingWindow.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <memory>

namespace corvane::testing {
namespace {

class OnboardingTest : public ::testing::Test {
protected:
  std::unique_ptr<OnboardingWindow> make() {
    auto window = std::make_unique<OnboardingWindow>(
        *defaults, [this] { ++pairs; }, onboardingDemoNodes(), /*reduceMotion=*/true);
    window->show();
    return window;
  }

  static QStringList footerButtons(QWidget &window) {
    QStringList shown;
    for (const char *name : {"backButton", "continueButton"}) {
      auto *button = window.findChild<QPushButton *>(name);
      if (button && button->isVisibleTo(&window))
        shown << button->text();
    }
    return shown;
  }

  static QString title(QWidget &window) {
    for (auto *label : window.findChildren<QLabel *>("stepTitle"))
      if (label->isVisibleTo(&window))
        return label->text();
    return {};
  }

  static QString counter(QWidget &window) {
    return window.findChild<QLabel *>("stepCounter")->text();
  }

  bool onboarded() const { return defaults->boolean("didOnboard").value_or(false); }

  std::unique_ptr<UserDefaults> defaults = UserDefaults::inMemory();
  int pairs = 0;
};

TEST_F(OnboardingTest, ThreeStepsWithBackAndContinueThenPairOrLater) {
  auto window = make();
  EXPECT_EQ(window->step(), 0);
  EXPECT_EQ(title(*window), "A teammate's database, on your localhost");
  EXPECT_EQ(counter(*window), "Step 1 of 3");
  EXPECT_EQ(footerButtons(*window), QStringList{"Continue"});
  auto *map = window->findChild<NearbyMapView *>("demoMap");
  ASSERT_TRUE(map);
  EXPECT_EQ(map->nodes(), onboardingDemoNodes());
  EXPECT_EQ(map->height(), 190);
  // The sample Macs are paired: nothing on the map takes a click.
  EXPECT_TRUE(map->findChildren<QAbstractButton *>("candidateNode").isEmpty());
  for (auto *node : map->findChildren<QWidget *>("pairedNode"))
    EXPECT_TRUE(node->testAttribute(Qt::WA_TransparentForMouseEvents));

  QTest::mouseClick(window->findChild<QPushButton *>("continueButton"), Qt::LeftButton);
  EXPECT_EQ(title(*window), "Only Macs you pair can connect");
  EXPECT_EQ(counter(*window), "Step 2 of 3");
  EXPECT_EQ(footerButtons(*window), (QStringList{"Back", "Continue"}));
  int sentences = 0;
  for (auto *body : window->findChildren<QLabel *>("stepBody"))
    sentences += body->isVisibleTo(window.get());
  EXPECT_EQ(sentences, 4);

  window->forward();
  EXPECT_EQ(counter(*window), "Step 3 of 3");
  EXPECT_EQ(title(*window), "Pair your first Mac");
  EXPECT_EQ(footerButtons(*window), QStringList{"Back"});
  window->forward();
  EXPECT_EQ(window->step(), 2) << "no step after the last";
  QTest::mouseClick(window->findChild<QPushButton *>("backButton"), Qt::LeftButton);
  EXPECT_EQ(window->step(), 1);
  window->back();
  window->back();
  EXPECT_EQ(window->step(), 0);
  EXPECT_FALSE(onboarded()) << "walking the steps is not leaving";

  window->forward();
  window->forward();
  // Earlier steps' pieces go on the next turn of the event loop.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  auto *later = window->findChild<QPushButton *>("laterButton");
  ASSERT_TRUE(later && later->isVisibleTo(window.get()));
  QTest::mouseClick(later, Qt::LeftButton);
  EXPECT_TRUE(onboarded());
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(pairs, 0);
}

TEST_F(OnboardingTest, TheButtonsAreTheThemesWhateverTheDesktopsColours) {
  // A desktop in its own light colours, not the theme's.
  const QPalette saved = QApplication::palette();
  QPalette desktop;
  desktop.setColor(QPalette::Window, QColor(0xef, 0xf0, 0xf1));
  desktop.setColor(QPalette::Button, QColor(0xfc, 0xfc, 0xfc));
  QApplication::setPalette(desktop);
  auto window = make();
  window->forward();
  const auto light = Theme::Appearance::light;
  const auto fill = [&](const char *name) {
    auto *button = window->findChild<QPushButton *>(name);
    return button->grab().toImage().pixelColor(5, button->height() / 2);
  };
  // Continue is what Return presses: ink; Back is plain on the control fill.
  EXPECT_EQ(fill("continueButton"), Theme::ink.in(light));
  EXPECT_EQ(fill("backButton"), Theme::control.in(light));
  QApplication::setPalette(saved);
}

TEST_F(OnboardingTest, ReturnWalksThroughAndPairsAfterTheWindowHasGone) {
  // As the application builds it: closing deletes the window.
  bool openedWhileGone = false;
  QPointer<OnboardingWindow> window;
  window = makeOnboardingLauncher(
      *defaults,
      [&](const QString &id) {
        EXPECT_EQ(id, "pairing");
        openedWhileGone = !window || !window->isVisible();
        ++pairs;
      },
      true);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->show();
  QTest::keyClick(window.data(), Qt::Key_Return);
  QTest::keyClick(window.data(), Qt::Key_Return);
  EXPECT_EQ(window->step(), 2);
  EXPECT_EQ(pairs, 0);
  QTest::keyClick(window.data(), Qt::Key_Return);
  EXPECT_EQ(pairs, 1);
  EXPECT_TRUE(openedWhileGone) << "the window closes before the pairing window opens";
  EXPECT_TRUE(onboarded());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(window.isNull());
}

TEST_F(OnboardingTest, ClosingOrDestroyingTheWindowAtAnyStepIsLeavingIt) {
  {
    auto window = make();
    window->forward();
    window->close();
    EXPECT_TRUE(onboarded());
  }
  defaults->remove("didOnboard");
  { auto window = make(); }
  EXPECT_TRUE(onboarded()) << "gone with the application";
  defaults->remove("didOnboard");
  {
    auto window = make();
    window->showMinimized();
    EXPECT_FALSE(onboarded()) << "minimising is not leaving";
  }
}

TEST_F(OnboardingTest, ScreensOfEveryStep) {
  for (const auto appearance : {Theme::Appearance::light, Theme::Appearance::dark}) {
    ScopedAppearance scoped(appearance);
    auto window = make();
    for (int step = 0; step < OnboardingWindow::stepCount; ++step) {
      QCoreApplication::processEvents();
      const QImage image =
          saveScreen(*window, QStringLiteral("onboarding-step%1").arg(step + 1), appearance);
      // As large as asked, and taller where this system's fonts need it.
      EXPECT_EQ(image.width(), OnboardingWindow::windowWidth);
      EXPECT_GE(image.height(), OnboardingWindow::windowHeight);
      EXPECT_GT(drawnPixels(image, Theme::background.in(appearance)), 2000);
      window->forward();
    }
  }
}

} // namespace
} // namespace corvane::testing
