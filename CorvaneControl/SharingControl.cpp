#include "CorvaneControl/SharingControl.h"

namespace corvane {

std::string_view SharingControl::valueLabel(bool value) {
  return value ? "Sharing" : "Paused";
}

std::string_view SharingControl::valueSymbol(bool value) {
  return value ? "point.3.connected.trianglepath.dotted" : "pause.circle";
}

} // namespace corvane
