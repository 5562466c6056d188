#pragma once

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/network/PairingCoordinator.h"
#include "brimvale/panels/NearbyMapView.h"
#include "brimvale/platform/Published.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/windows/PairByAddress.h"

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QAbstractButton;
class QVBoxLayout;

namespace corvane {

class ServiceManager;
class StateWatch;
class WindowRegistry;
struct WindowContext;

// Where two machines become paired: the nearby map with the machines that have a pairing
// window open, and below it what the coordinator is doing (searching, connecting, the code to
// compare, waiting, success or failure) with its buttons. Holds no pairing state: it shows the
// coordinator's and calls its operations. Pairing runs while the window is shown: it starts
// when the window appears and stops when it goes (closed or hidden).
//
// Main thread only. The manager must outlive the window; the window takes the coordinator's
// `onChange` while it exists (calling the one it found) and gives it back when it goes.
class PairingWindow : public QWidget {
  Q_OBJECT

public:
  static constexpr int windowWidth = 520;
  static constexpr int mapHeight = 250;
  static constexpr int stateMinimumHeight = 150;
  static constexpr const char *pairedSentence =
      "Ports you each share now appear on the other Mac's localhost, encrypted between the two.";

  PairingWindow(ServiceManager &manager, std::shared_ptr<PairingCoordinator> pairing,
                bool reduceMotion, PairByAddress::Addresses addresses = {},
                QWidget *parent = nullptr);
  ~PairingWindow() override;

  // The map's nodes: the paired machines oldest first in their colours, then the candidates
  // that are not paired.
  static std::vector<MapNode> mapNodes(const std::vector<PairedPeer> &pairedPeers,
                                       const std::set<std::string> &onlinePeerIDs,
                                       const std::vector<NearbyDevice> &candidates);
  // "Pairing code " and the characters one by one, for a screen reader.
  static QString codeAccessibleName(const std::string &code);

  // A candidate chosen on the map: pairs with it, unless it has gone meanwhile.
  void select(const std::string &deviceID);
  // Rebuilds at once what a change would rebuild on the next turn of the event loop.
  void refresh();

  NearbyMapView *map() const { return map_; }
  PairByAddress *addressPart() const { return address_; }

protected:
  void showEvent(QShowEvent *event) override;
  void hideEvent(QHideEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;
  void changeEvent(QEvent *event) override;

private:
  void rebuildState();
  void stop();
  QWidget *stateContent(const PairingCoordinator::State &state, bool anyCandidate);

  ServiceManager &manager_;
  std::shared_ptr<PairingCoordinator> pairing_;
  std::function<void()> previousOnChange_;
  bool running_ = false;

  NearbyMapView *map_;
  QWidget *separator_;
  QWidget *stateArea_;
  QVBoxLayout *stateLayout_;
  QWidget *content_ = nullptr;
  PairByAddress *address_;
  StateWatch *watch_;
  // What the state area was built for; it is built again only when this changes.
  std::optional<std::pair<PairingCoordinator::State, bool>> shown_;
  // The buttons Return and Escape press in the state shown; null for none.
  QAbstractButton *defaultButton_ = nullptr;
  QAbstractButton *cancelButton_ = nullptr;
  bool reduceMotion_;
  // The appearance the pieces were coloured for; none before the first build.
  std::optional<Theme::Appearance> appearance_;
};

// Adds the window "pairing": this window over the manager's coordinator.
void addPairingWindow(WindowRegistry &registry, const WindowContext &context);

} // namespace corvane
