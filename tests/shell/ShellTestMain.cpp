// The main of every view test: one QApplication on the offscreen platform (unless the caller
// chose another, such as xcb under Xvfb), then the tests.
#include <QApplication>
#include <gmock/gmock.h>

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleMock(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
