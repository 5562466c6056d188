#include "brimvale/shell/ClipboardPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QThread>

namespace corvane {

void ClipboardPasteboard::setString(const std::string &text) {
  Q_ASSERT(QThread::currentThread() == QGuiApplication::instance()->thread());
  QClipboard *clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(QString::fromStdString(text));
}

} // namespace corvane
