#include "brimvale/shell/PromptDialog.h"
#include "tests/manager/ManagerFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace corvane {
namespace {

// An alert over the manager's hints request, as the hints prompt builds it.
class PromptDialogTest : public testing::ManagerTest {
protected:
  void SetUp() override { make(true); }

  void build() {
    dialog = std::make_unique<PromptDialog>();
    dialog->setTitle("Hints for this port");
    dialog->setMessage("Paired Macs see these, and their connection strings use the database "
                       "and user. Don't put passwords here.");
    dialog->addField("Database, such as shop");
    dialog->addField("User, such as postgres");
    dialog->addField("Note, such as \"ask me for the password\"");
    save = dialog->addButton("Save", [this](const QStringList &texts) {
      saved.push_back({manager->hintsPrompt.get(), texts});
    });
    cancel = dialog->addCancelButton("Cancel");
    dialog->bind<ExposedService>(manager->hintsPrompt, [this](const ExposedService *share) {
      const ShareHints hints = share && share->hints ? *share->hints : ShareHints{};
      auto text = [](const std::optional<std::string> &value) {
        return QString::fromStdString(value.value_or(""));
      };
      dialog->setTexts({text(hints.database), text(hints.user), text(hints.note)});
    });
  }

  static ExposedService share(std::optional<ShareHints> hints) {
    ExposedService made;
    made.id = "AAAAAAAA-0000-0000-0000-000000000001";
    made.name = "db";
    made.port = 5432;
    made.hints = std::move(hints);
    return made;
  }

  std::unique_ptr<PromptDialog> dialog;
  QPushButton *save = nullptr;
  QPushButton *cancel = nullptr;
  struct Saved {
    std::optional<ExposedService> promptWhileSaving;
    QStringList texts;
  };
  std::vector<Saved> saved;
};

TEST_F(PromptDialogTest, OpensFilledFromTheCurrentValue) {
  build();
  EXPECT_FALSE(dialog->isVisible());
  manager->hintsPrompt.set(share(ShareHints{"shop", std::nullopt, "ask Ann"}));
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->texts(), (QStringList{"shop", "", "ask Ann"}));
  // Another share while open: refilled, not merged.
  manager->hintsPrompt.set(share(std::nullopt));
  EXPECT_EQ(dialog->texts(), (QStringList{"", "", ""}));
}

TEST_F(PromptDialogTest, AValueSetBeforeTheAlertExistsOpensItFilled) {
  manager->hintsPrompt.set(share(ShareHints{"shop", "ann", std::nullopt}));
  build();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->texts(), (QStringList{"shop", "ann", ""}));
}

TEST_F(PromptDialogTest, SavingReadsTheFieldsBeforeClosingClearsThem) {
  build();
  manager->hintsPrompt.set(share(ShareHints{"shop", std::nullopt, std::nullopt}));
  QTest::keyClicks(dialog->fields()[1], "postgres");
  QTest::mouseClick(save, Qt::LeftButton);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].texts, (QStringList{"shop", "postgres", ""}));
  EXPECT_EQ(saved[0].promptWhileSaving, share(ShareHints{"shop", std::nullopt, std::nullopt}))
      << "the action runs with the request still standing";
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);
  EXPECT_EQ(dialog->texts(), (QStringList{"", "", ""})) << "closing emptied the fields";
}

TEST_F(PromptDialogTest, EveryWayOfClosingClearsTheRequestAndOnlySaveActs) {
  build();
  manager->hintsPrompt.set(share(std::nullopt));
  QTest::keyClicks(dialog->fields()[0], "typed");
  QTest::mouseClick(cancel, Qt::LeftButton);
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);

  manager->hintsPrompt.set(share(std::nullopt));
  ASSERT_TRUE(dialog->isVisible());
  QTest::keyClick(dialog->fields()[0], Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);

  manager->hintsPrompt.set(share(std::nullopt));
  dialog->close();
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);

  // The manager withdrawing the request closes the alert without acting.
  manager->hintsPrompt.set(share(std::nullopt));
  manager->hintsPrompt.set(std::nullopt);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_TRUE(saved.empty());

  // Return presses the first action button.
  manager->hintsPrompt.set(share(std::nullopt));
  QTest::keyClick(dialog->fields()[2], Qt::Key_Return);
  EXPECT_EQ(saved.size(), 1u);
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);
}

TEST_F(PromptDialogTest, ScreensInLightAndDark) {
  for (auto appearance : {Theme::Appearance::light, Theme::Appearance::dark}) {
    testing::ScopedAppearance scoped(appearance);
    build();
    manager->hintsPrompt.set(share(ShareHints{"shop", "postgres", std::nullopt}));
    const QImage image = testing::saveScreen(*dialog, "hints-alert", appearance);
    EXPECT_EQ(image.width(), 330);
    EXPECT_GT(testing::drawnPixels(image, Theme::background.in(appearance)), 1000);
    manager->hintsPrompt.set(std::nullopt);
  }
}

TEST_F(PromptDialogTest, TheAlertTakesTheThemeWhateverTheDesktopsOwnColours) {
  // A desktop in its own dark colours, not the theme's.
  const QPalette saved = QApplication::palette();
  QPalette desktop;
  desktop.setColor(QPalette::Window, QColor(0x31, 0x36, 0x3b));
  desktop.setColor(QPalette::Button, QColor(0x44, 0x4a, 0x50));
  desktop.setColor(QPalette::Base, QColor(0x23, 0x26, 0x29));
  QApplication::setPalette(desktop);
  build();
  dialog->resize(dialog->sizeHint());
  const auto dark = Theme::Appearance::dark;
  EXPECT_EQ(dialog->grab().toImage().pixelColor(4, 4), Theme::background.in(dark));
  // The action Return presses is in ink, the other plain on the control fill.
  const auto fill = [](QPushButton *button) {
    button->resize(button->sizeHint());
    return button->grab().toImage().pixelColor(5, button->height() / 2);
  };
  EXPECT_EQ(fill(save), Theme::ink.in(dark));
  EXPECT_EQ(fill(cancel), Theme::control.in(dark));
  auto *field = dialog->fields().front();
  field->resize(200, 28);
  EXPECT_EQ(field->grab().toImage().pixelColor(190, 14), Theme::field.in(dark));
  QApplication::setPalette(saved);
}

} // namespace
} // namespace corvane
