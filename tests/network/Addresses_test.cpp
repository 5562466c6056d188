#include "brimvale/network/Addresses.h"

#include <gtest/gtest.h>
#include <net/if.h>

namespace corvane {
namespace {

using ManualAddress::Parsed;
using ManualAddress::parseManualAddress;
using ManualAddress::Problem;

std::expected<Parsed, Problem> accepted(std::string host, std::optional<std::uint16_t> port = {}) {
  return Parsed{std::move(host), port};
}

std::expected<Parsed, Problem> refused(Problem problem) {
  return std::unexpected(problem);
}

TEST(ManualAddress, PortsAndSurroundingText) {
  EXPECT_EQ(parseManualAddress("  192.168.1.20:8080\n"), accepted("192.168.1.20", 8080));
  EXPECT_EQ(parseManualAddress("192.168.1.20:65535"), accepted("192.168.1.20", 65535));
  EXPECT_EQ(parseManualAddress("192.168.1.20:00080"), accepted("192.168.1.20", 80));
  for (const char *bad : {"", "   ", "192.168.1.20:", "192.168.1.20:0", "192.168.1.20:65536",
                          "192.168.1.20:123456", "192.168.1.20:+80", "192.168.1.20:8o",
                          "192.168 .1.20", "mymac\t.local", "m\u00e4c.local", "mac\x01"}) {
    EXPECT_EQ(parseManualAddress(bad), refused(Problem::unreadable)) << bad;
  }
}

TEST(ManualAddress, OnlyPrivateIPv4) {
  for (const char *local : {"10.0.0.1", "100.64.0.1", "100.127.255.255", "169.254.3.4",
                            "172.16.0.1", "172.31.0.1", "192.168.0.9"}) {
    EXPECT_EQ(parseManualAddress(local), accepted(local)) << local;
  }
  for (const char *remote : {"8.8.8.8", "127.0.0.1", "100.128.0.1", "100.63.0.1", "172.32.0.1",
                             "172.15.0.1", "192.169.0.1", "0.0.0.0", "255.255.255.255"}) {
    EXPECT_EQ(parseManualAddress(remote), refused(Problem::notLocal)) << remote;
  }
  // Not four plain decimal pieces: never read as an address, nor as a name.
  for (const char *odd :
       {"192.168.1.256", "192.168.01.2", "192.168.1", "0x7f000001", "10.1", "192.168.1.2.3"}) {
    EXPECT_EQ(parseManualAddress(odd), refused(Problem::unreadable)) << odd;
  }
}

TEST(ManualAddress, IPv6FormsAndZones) {
  EXPECT_EQ(parseManualAddress("fe80::1"), accepted("fe80::1"));
  EXPECT_EQ(parseManualAddress("[fe80::1]:46310"), accepted("fe80::1", 46310));
  EXPECT_EQ(parseManualAddress("[FE80:0::1]"), accepted("fe80::1"));
  EXPECT_EQ(parseManualAddress("fd12::5"), accepted("fd12::5"));
  EXPECT_EQ(parseManualAddress("fc00::1"), accepted("fc00::1"));
  EXPECT_EQ(parseManualAddress("febf::1"), accepted("febf::1"));
  EXPECT_EQ(parseManualAddress("::ffff:192.168.1.5"), accepted("::ffff:192.168.1.5"));
  EXPECT_EQ(parseManualAddress("::ffff:8.8.8.8"), refused(Problem::notLocal));
  EXPECT_EQ(parseManualAddress("::1"), refused(Problem::notLocal));
  EXPECT_EQ(parseManualAddress("2001:db8::1"), refused(Problem::notLocal));
  EXPECT_EQ(parseManualAddress("fec0::1"), refused(Problem::notLocal));
  for (const char *bad : {"[fe80::1]x", "[192.168.1.20]:80", "[fe80::1", "[fe80::1]:", "[mymac]:80",
                          "fe80::1%nosuch0", "fe80::1%", "fe80::1%99999", "fe80:::1"}) {
    EXPECT_EQ(parseManualAddress(bad), refused(Problem::unreadable)) << bad;
  }
  // The loopback interface exists everywhere, so its zone is accepted by name and by index.
  EXPECT_EQ(parseManualAddress("fe80::1%lo"), accepted("fe80::1%lo"));
  auto index = std::to_string(if_nametoindex("lo"));
  EXPECT_EQ(parseManualAddress("[fe80::1%" + index + "]:22"), accepted("fe80::1%lo", 22));
}

TEST(ManualAddress, HostNames) {
  EXPECT_EQ(parseManualAddress("MyMac.local."), accepted("mymac.local"));
  EXPECT_EQ(parseManualAddress("mymac:22"), accepted("mymac", 22));
  for (const char *local : {"mymac", "nas.lan", "box.home.arpa", "db.internal", "a-b.local"}) {
    EXPECT_EQ(parseManualAddress(local), accepted(local)) << local;
  }
  for (const char *remote : {"localhost", "LOCALHOST", "example.com", "mac.local.example.com"}) {
    EXPECT_EQ(parseManualAddress(remote), refused(Problem::notLocal)) << remote;
  }
  std::string longLabel = std::string(64, 'a') + ".local";
  std::string longName;
  while (longName.size() < 254) {
    longName += "abcdefghi.";
  }
  longName = longName.substr(0, 248) + ".local"; // 254 characters
  for (std::string bad : {std::string("-mac.local"), std::string("mac-.local"), longLabel, longName,
                          std::string("a..local"), std::string("host.123"), std::string("."),
                          std::string("my_mac.local")}) {
    EXPECT_EQ(parseManualAddress(bad), refused(Problem::unreadable)) << bad;
  }
  EXPECT_FALSE(isLocalName("localhost"));
  EXPECT_TRUE(isLocalName("studio"));
}

TEST(ManualAddress, DisplayTextAndEndpoint) {
  EXPECT_EQ(ManualAddress::displayText("fe80::1", std::nullopt), "fe80::1");
  EXPECT_EQ(ManualAddress::displayText("fe80::1", 46310), "[fe80::1]:46310");
  EXPECT_EQ(ManualAddress::displayText("mymac.local", 46310), "mymac.local:46310");

  auto v4 = ManualAddress::endpoint("192.168.1.20", std::nullopt, 46310);
  ASSERT_NE(v4.asHostPort(), nullptr);
  EXPECT_EQ(v4.asHostPort()->port, 46310);
  EXPECT_EQ(v4.asHostPort()->host.kind, Endpoint::Host::Kind::ipv4);
  EXPECT_EQ(v4.asHostPort()->host.address[0], 192);

  auto v6 = ManualAddress::endpoint("fe80::1%lo", 8080, 46310);
  EXPECT_EQ(v6.asHostPort()->port, 8080);
  EXPECT_EQ(v6.asHostPort()->host.kind, Endpoint::Host::Kind::ipv6);
  EXPECT_EQ(v6.asHostPort()->host.scopeID, if_nametoindex("lo"));

  auto named = ManualAddress::endpoint("mymac.local", 0, 46310);
  EXPECT_EQ(named.asHostPort()->port, 0);
  EXPECT_EQ(named.asHostPort()->host.kind, Endpoint::Host::Kind::name);
  EXPECT_EQ(named.asHostPort()->host.name, "mymac.local");
}

Endpoint::Host hostOf(const std::string &text) {
  return *Endpoint::Host::parseAddress(text);
}

TEST(LocalAddresses, LocalHostRules) {
  using LocalAddresses::Subnet;
  std::vector<Subnet> none;
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("127.0.0.1"), none));
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("::1"), none));
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("::ffff:192.168.0.9"), none));
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("::ffff:127.0.0.1"), none));
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("fe80::1"), none));
  EXPECT_FALSE(LocalAddresses::isLocalHost(hostOf("203.0.113.7"), none));
  EXPECT_FALSE(LocalAddresses::isLocalHost(hostOf("2001:db8::7"), none));
  EXPECT_FALSE(LocalAddresses::isLocalHost(Endpoint::Host::named("mymac.local"), none));

  std::vector<Subnet> slash24{{{203, 0, 113, 1}, {255, 255, 255, 0}}};
  std::vector<Subnet> slash8{{{203, 0, 113, 1}, {255, 0, 0, 0}}};
  std::vector<Subnet> mismatched{{{203, 0, 113, 1}, {255, 255}}};
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("203.0.113.7"), slash24));
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("::ffff:203.0.113.7"), slash24));
  EXPECT_FALSE(LocalAddresses::isLocalHost(hostOf("203.0.114.7"), slash24));
  EXPECT_FALSE(LocalAddresses::isLocalHost(hostOf("203.0.113.7"), slash8));
  EXPECT_FALSE(LocalAddresses::isLocalHost(hostOf("203.0.113.7"), mismatched));

  std::vector<std::uint8_t> net6{0x20, 0x01, 0x0d, 0xb8, 0, 1};
  net6.resize(16);
  std::vector<std::uint8_t> mask64(8, 0xFF), mask16(2, 0xFF);
  mask64.resize(16);
  mask16.resize(16);
  EXPECT_TRUE(LocalAddresses::isLocalHost(hostOf("2001:db8:1::9"), {{net6, mask64}}));
  EXPECT_FALSE(LocalAddresses::isLocalHost(hostOf("2001:db8:1::9"), {{net6, mask16}}));
}

InterfaceAddress entry(std::string name, unsigned flags, InterfaceAddress::Family family,
                       Bytes address, Bytes mask) {
  return {std::move(name), flags, family, std::move(address), std::move(mask), {}, 0};
}

TEST(LocalAddresses, SubnetsAndOfferedAddresses) {
  using F = InterfaceAddress::Family;
  std::vector<InterfaceAddress> list{
      entry("lo", IFF_UP | IFF_LOOPBACK, F::ipv4, {127, 0, 0, 1}, {255, 0, 0, 0}),
      entry("eth0", IFF_UP, F::link, {1, 2, 3, 4, 5, 6}, {}),
      entry("eth0", IFF_UP, F::ipv4, {192, 168, 1, 20}, {255, 255, 255, 0}),
      entry("eth1", IFF_UP, F::ipv4, {203, 0, 113, 5}, {255, 255, 255, 0}),
      entry("eth2", 0, F::ipv4, {10, 0, 0, 5}, {255, 0, 0, 0}),
      entry("eth0", IFF_UP, F::ipv6, Bytes(16, 0xfd), {}),
      entry("eth3", IFF_UP, F::ipv4, {192, 168, 1, 20}, {255, 255, 255, 0}),
  };
  auto subnets = LocalAddresses::localSubnets(list);
  ASSERT_EQ(subnets.size(), 4u);
  EXPECT_EQ(subnets[0].address, (std::vector<std::uint8_t>{127, 0, 0, 1}));
  EXPECT_EQ(subnets[2].address, (std::vector<std::uint8_t>{203, 0, 113, 5}));

  EXPECT_EQ(LocalAddresses::thisMacAddresses(list, std::string("Studio.local")),
            (std::vector<std::string>{"192.168.1.20", "studio.local"}));
  EXPECT_EQ(LocalAddresses::thisMacAddresses(std::nullopt, std::string("studio")),
            (std::vector<std::string>{"studio.local"}));
  EXPECT_TRUE(LocalAddresses::thisMacAddresses(std::nullopt, std::nullopt).empty());
}

} // namespace
} // namespace corvane
