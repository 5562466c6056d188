#include "brimvale/shell/SingleInstance.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace corvane {
namespace {

bool waitFor(const std::function<bool()> &done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 60000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

TEST(SingleInstanceTest, DecodingIsBoundedAndStrict) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(SingleInstance::decode("corvane://show\ncorvane://pause-all\n\n"),
            (Args{"corvane://show", "corvane://pause-all"}));
  EXPECT_EQ(SingleInstance::decode("\n"), Args{});
  // Cut short, or a caller that only looked: nothing.
  EXPECT_EQ(SingleInstance::decode(""), std::nullopt);
  EXPECT_EQ(SingleInstance::decode("corvane://show\n"), std::nullopt);
  EXPECT_EQ(SingleInstance::decode("corvane://show\n\ncorvane://show\n\n"), std::nullopt);
  EXPECT_EQ(SingleInstance::decode(QByteArray(SingleInstance::maxArgumentBytes + 1, 'a') + "\n\n"),
            std::nullopt);
  QByteArray many;
  for (int i = 0; i <= SingleInstance::maxArguments; ++i)
    many += "corvane://show\n";
  many += "\n";
  EXPECT_EQ(SingleInstance::decode(many), std::nullopt);
  EXPECT_EQ(SingleInstance::decode("corvane://copy/\xff\xfe\n\n"), std::nullopt);
}

TEST(SingleInstanceTest, ALaterStartHandsItsArgumentsToTheFirst) {
  QTemporaryDir folder;
  const QString path = folder.path() + QStringLiteral("/run/instance");
  SingleInstance first(path);
  EXPECT_FALSE(first.handOver({"corvane://show"}, 200)) << "nobody runs yet";
  ASSERT_TRUE(first.listen());
  std::vector<std::vector<std::string>> received;
  QObject::connect(
      &first, &SingleInstance::received,
      [&](const std::vector<std::string> &arguments) { received.push_back(arguments); });

  SingleInstance second(path);
  EXPECT_FALSE(second.listen()) << "the first one answers there";
  ASSERT_TRUE(second.handOver({"corvane://copy/Postgres", "corvane://show"}));
  ASSERT_TRUE(waitFor([&] { return received.size() == 1; }));
  EXPECT_EQ(received[0], (std::vector<std::string>{"corvane://copy/Postgres", "corvane://show"}));

  // Too much from one caller is dropped, and the server keeps serving.
  QLocalSocket flood;
  flood.connectToServer(path);
  ASSERT_TRUE(flood.waitForConnected(5000));
  flood.write(
      QByteArray(SingleInstance::maxArguments * (SingleInstance::maxArgumentBytes + 2), 'x'));
  flood.waitForBytesWritten(5000);
  ASSERT_TRUE(waitFor([&] { return flood.state() == QLocalSocket::UnconnectedState; }));
  ASSERT_TRUE(second.handOver({}));
  ASSERT_TRUE(waitFor([&] { return received.size() == 2; }));
  EXPECT_TRUE(received[1].empty());
}

TEST(SingleInstanceTest, ASocketLeftByAnInstanceThatDiedIsTakenOver) {
  QTemporaryDir folder;
  const QString path = folder.path() + QStringLiteral("/instance");
  {
    SingleInstance gone(path);
    ASSERT_TRUE(gone.listen());
  }
  // Leave a stale socket file, as a killed process would.
  QLocalServer stale;
  stale.setSocketOptions(QLocalServer::UserAccessOption);
  ASSERT_TRUE(stale.listen(path));
  stale.close();
  SingleInstance next(path);
  EXPECT_TRUE(next.listen());
}

} // namespace
} // namespace corvane
