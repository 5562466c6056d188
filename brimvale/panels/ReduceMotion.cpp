#include "brimvale/panels/ReduceMotion.h"

#include <QProcess>
#include <QStandardPaths>
#include <cctype>
#include <cmath>

namespace corvane {

namespace {

// "true" or "false" and a line end; anything longer is not an answer.
constexpr qint64 answerLimit = 64;

} // namespace

bool ReduceMotion::fromSetting(const std::optional<std::string> &answer) {
  if (!answer)
    return false;
  std::string text = *answer;
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.pop_back();
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.erase(text.begin());
  return text == "false";
}

bool ReduceMotion::readFromDesktop(double timeLimitSeconds) {
  const QString program = QStandardPaths::findExecutable(QStringLiteral("gsettings"));
  if (program.isEmpty())
    return false;
  QProcess process;
  process.start(program, {QStringLiteral("get"), QLatin1String(schema), QLatin1String(key)});
  const int limit = static_cast<int>(std::lround(timeLimitSeconds * 1000));
  if (!process.waitForFinished(limit)) {
    process.kill();
    process.waitForFinished(limit);
    return false;
  }
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    return false;
  return fromSetting(process.readAllStandardOutput().left(answerLimit).toStdString());
}

} // namespace corvane
