#pragma once

#include "brimvale/catalogue/IncomingProblemText.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/manager/SharingState.h"
#include "brimvale/network/NetworkName.h"
#include "brimvale/platform/Clock.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The words for ports, shares, paired Macs and the network, over the service manager's
// published values: short lower-case words for chips, capitalised phrases for row subtitles,
// comma-joined labels for screen readers. Plain functions of their arguments, with no Qt, so
// that every view and the tray icon say the same thing. (The problem sentence of an incoming
// port is `incomingProblemText`, and the paused-sharing sentence `sharingStatusText`.)
namespace corvane {

// A port's reachability in a word: "12 ms", "ready", "asleep", "not running", "off", or the
// failure's sentence.
std::string reachabilityText(const IncomingService &service);

// The row subtitle of a port: "In use now", "Asleep or away for 3 hr", ….
std::string incomingStateText(const IncomingService &service, Date now);

// Why a connected port sits on another number here; absent when it does not.
std::optional<std::string> portMovedNotice(const IncomingService &service);

// The spoken label of a port row.
std::string incomingAccessibilityLabel(const IncomingService &service);

// The label under a port on the map: the catalogue's pill, else the first word of the name in
// lower case, at most 6 characters.
std::string serviceMapLabel(const IncomingService &service);

// The letters on a port's tile: the catalogue's tag, else the first three letters or digits of
// the name in upper case.
std::string serviceBadgeText(const IncomingService &service);

// The version beside a port, without the service's own name in front ("16.2" for a
// PostgreSQL port announcing "PostgreSQL 16.2"); absent when unknown.
std::optional<std::string> serviceDetailText(const IncomingService &service);

// A share's status in a word or two; empty when all is well and nobody is connected.
std::string shareStatusText(const OutgoingService &share);

// The spoken summary of a share: name, port, status, users, and `extra` when not empty.
std::string shareAccessibilitySummary(const OutgoingService &share, bool sharingOn,
                                      std::string_view extra);

// Time left and who may use a share, joined with " · "; empty when neither applies.
// `names` maps a paired Mac's device identifier to its name.
std::string shareLimitsText(const ExposedService &share, Date now,
                            const std::map<std::string, std::string> &names);

// `shareLimitsText` with the names of the paired Macs (a later entry for the same device
// identifier wins).
std::string shareAccessText(const ExposedService &share, Date now,
                            const std::vector<PairedPeer> &pairedPeers);

// One line on the paired Macs: "No Macs paired yet", "2 of 3 Macs nearby, encrypted", ….
std::string pairedSummaryText(const std::vector<PairedPeer> &pairedPeers,
                              const std::set<std::string> &onlinePeerIDs);

// The panel's subtitle: the network (its name only when the user chose to show it) and how
// many paired Macs are nearby.
std::string panelSubtitleText(const std::vector<PairedPeer> &pairedPeers,
                              const std::set<std::string> &onlinePeerIDs,
                              const std::optional<std::string> &networkName);

// The button beside the paused-sharing sentence when the Wi-Fi name cannot be read: "Allow" or
// "Open Settings"; absent otherwise.
std::optional<std::string> networkPermissionActionTitle(const SharingState &sharingState,
                                                        NetworkName::Permission permission);

// The paired Macs oldest first, each with the ports it offers here, in the order of `incoming`.
// A Mac that offers nothing has an empty list; ports of Macs no longer paired are left out.
struct PeerRows {
  PairedPeer peer;
  std::vector<IncomingService> rows;

  bool operator==(const PeerRows &) const = default;
};
std::vector<PeerRows> incomingGroupedByPeer(const std::vector<PairedPeer> &pairedPeers,
                                            const std::vector<IncomingService> &incoming);

// The paired Macs sorted by pairing date, oldest first (equal dates keep their order).
std::vector<PairedPeer> peersByPairingDate(const std::vector<PairedPeer> &pairedPeers);

// A Mac's colour index: its place among the paired Macs, oldest first; 0 when not paired.
int peerColorIndex(const std::vector<PairedPeer> &pairedPeers, std::string_view deviceID);

// True when any port is in state failed.
bool hasFailingIncoming(const std::vector<IncomingService> &incoming);

} // namespace corvane
