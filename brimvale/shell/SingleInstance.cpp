#include "brimvale/shell/SingleInstance.h"

#include "brimvale/platform/Logger.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStringDecoder>
#include <QTimer>
#include <memory>
#include <unistd.h>

namespace corvane {

QString SingleInstance::socketPath() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  QString folder =
      runtime.startsWith(QLatin1Char('/'))
          ? runtime + QStringLiteral("/corvane")
          : QDir::tempPath() + QStringLiteral("/corvane-") + QString::number(::getuid());
  return folder + QStringLiteral("/instance");
}

SingleInstance::SingleInstance(QString path, QObject *parent)
    : QObject(parent), path_(std::move(path)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::handOver(const std::vector<std::string> &arguments, int waitMilliseconds) {
  QLocalSocket socket;
  socket.connectToServer(path_);
  if (!socket.waitForConnected(waitMilliseconds))
    return false;
  QByteArray data;
  for (const auto &argument : arguments) {
    // A line break would split one argument into two; an empty one would end the list.
    if (argument.empty() || argument.find('\n') != std::string::npos)
      continue;
    data += QByteArray::fromStdString(argument) + '\n';
  }
  data += '\n';
  socket.write(data);
  if (!socket.waitForBytesWritten(waitMilliseconds))
    return false;
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState)
    socket.waitForDisconnected(waitMilliseconds);
  return true;
}

bool SingleInstance::listen() {
  const QString folder = QFileInfo(path_).absolutePath();
  if (!QDir().mkpath(folder))
    return false;
  QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  // Listening would replace the socket of an instance that runs: ask first.
  {
    QLocalSocket probe;
    probe.connectToServer(path_);
    if (probe.waitForConnected(1000))
      return false;
  }
  // Nobody answers there: an instance that died may have left its socket behind.
  QLocalServer::removeServer(path_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path_)) {
    Logger::app().error("Cannot listen for later starts at " + path_.toStdString() + ": " +
                        server_->errorString().toStdString());
    return false;
  }
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
  return true;
}

std::optional<std::vector<std::string>> SingleInstance::decode(const QByteArray &data) {
  if (data.size() > qsizetype(maxArguments) * (maxArgumentBytes + 1))
    return std::nullopt;
  QStringDecoder utf8(QStringDecoder::Utf8);
  const QString checked = utf8(data);
  if (utf8.hasError())
    return std::nullopt;
  // Complete only with the empty line that ends the list: a connection that merely looked
  // whether we run delivers nothing.
  if (!data.endsWith('\n'))
    return std::nullopt;
  QList<QByteArray> lines = data.split('\n');
  lines.removeLast(); // after the last line break
  if (lines.isEmpty() || !lines.last().isEmpty())
    return std::nullopt;
  lines.removeLast();
  std::vector<std::string> arguments;
  for (const QByteArray &line : lines) {
    if (line.isEmpty() || line.size() > maxArgumentBytes ||
        arguments.size() >= std::size_t(maxArguments))
      return std::nullopt;
    arguments.push_back(line.toStdString());
  }
  return arguments;
}

void SingleInstance::accept() {
  while (QLocalSocket *socket = server_->nextPendingConnection()) {
    auto buffer = std::make_shared<QByteArray>();
    auto *timer = new QTimer(socket);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, socket, &QLocalSocket::abort);
    timer->start(readLimitSeconds * 1000);
    const qsizetype limit = qsizetype(maxArguments) * (maxArgumentBytes + 1);
    connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer, limit] {
      *buffer += socket->readAll();
      if (buffer->size() > limit) {
        buffer->clear();
        socket->setProperty("refused", true);
        socket->abort();
      }
    });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer, timer] {
      const bool timedOut = !timer->isActive();
      *buffer += socket->readAll();
      const bool refused = socket->property("refused").toBool();
      const auto arguments = refused || timedOut ? std::nullopt : decode(*buffer);
      socket->deleteLater();
      if (!arguments) {
        // A connection that only looked whether we run says nothing.
        if (buffer->isEmpty() && !refused && !timedOut)
          return;
        Logger::app().notice("Ignored what a later start sent: too much, too slow or not text");
        return;
      }
      emit received(*arguments);
    });
  }
}

} // namespace corvane
