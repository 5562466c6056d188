#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace corvane {

// One application per user session: the first start listens on a socket in
// $XDG_RUNTIME_DIR/corvane/; a later start hands its arguments to it and exits. What arrives
// is untrusted (any program of the user may connect): at most `maxArguments` lines of at most
// `maxArgumentBytes` each, read within `readLimitSeconds`; anything beyond ends the connection
// and delivers nothing. Main thread only.
class SingleInstance : public QObject {
  Q_OBJECT

public:
  static constexpr int maxArguments = 32;
  static constexpr int maxArgumentBytes = 4096;
  static constexpr int readLimitSeconds = 5;

  // The socket's path: $XDG_RUNTIME_DIR/corvane/instance, else one in the temporary folder
  // named after the user.
  static QString socketPath();

  explicit SingleInstance(QString path = socketPath(), QObject *parent = nullptr);
  ~SingleInstance() override;

  // Hands `arguments` to the running instance; false when none answers.
  bool handOver(const std::vector<std::string> &arguments, int waitMilliseconds = 3000);
  // Becomes the running instance; false when another one listens (or the socket cannot be
  // made). A socket left behind by an instance that died is replaced.
  bool listen();

  // Decodes what a later start sent: one argument per line, UTF-8, then an empty line. Absent
  // when incomplete, when the limits are broken or when the text is not UTF-8.
  static std::optional<std::vector<std::string>> decode(const QByteArray &data);

signals:
  // The arguments of a later start (possibly none), in their order.
  void received(const std::vector<std::string> &arguments);

private:
  void accept();

  QString path_;
  QLocalServer *server_ = nullptr;
};

} // namespace corvane
