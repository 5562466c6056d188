#pragma once

#include "brimvale/platform/Pasteboard.h"

namespace corvane {

// The desktop's clipboard through Qt. Main thread only; a QGuiApplication must exist.
class ClipboardPasteboard final : public Pasteboard {
public:
  void setString(const std::string &text) override;
};

} // namespace corvane
