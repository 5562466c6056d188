#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/panels/PanelContext.h"

#include <QWidget>

class QMenu;
class QPushButton;
class QToolButton;

namespace corvane {

class CopyFeedback;

// One port a paired Mac offers, in the map panel's card: its tile, name and version, its
// state (or problem) and note, and the action its state allows: copy "localhost:<port>",
// wake the Mac, or turn the port back on. Everything else is in its "More" menu. Main thread
// only; the context's manager and the feedback must outlive the row.
class PortRow : public QWidget {
  Q_OBJECT

public:
  enum class Dot { filledOk, filledFaint, ringAccent, ringFaint };

  PortRow(const PanelContext &context, IncomingService row, CopyFeedback &feedback,
          QWidget *parent = nullptr);

  const IncomingService &row() const { return row_; }
  // Shows `row` (the same port, republished): the row's widgets are made again only when
  // something they show changed.
  void setRow(IncomingService row);
  // The text the copy button copies; absent when the row has no copy button.
  std::optional<QString> address() const;
  static Dot dot(const IncomingService &row);
  // The "More" menu, built from the row as it is now; null for a port that is off (it has
  // none). The caller owns it.
  QMenu *buildMoreMenu();

private:
  void build();
  // Everything the row's widgets show, as one text.
  QString look() const;
  void copyAddress();

  const PanelContext &context_;
  IncomingService row_;
  CopyFeedback &feedback_;
};

} // namespace corvane
