#include "brimvale/network/Wake.h"

#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <net/if.h>

namespace corvane {
namespace {

InterfaceAddress link(std::string name, Bytes address, unsigned flags = IFF_UP | IFF_RUNNING) {
  return {std::move(name), flags, InterfaceAddress::Family::link, std::move(address), {}, {}, 0};
}

InterfaceAddress ipv4(std::string name, Bytes address, Bytes broadcast,
                      unsigned flags = IFF_UP | IFF_BROADCAST) {
  return {std::move(name),
          flags,
          InterfaceAddress::Family::ipv4,
          std::move(address),
          {255, 255, 255, 0},
          std::move(broadcast),
          0};
}

std::uint32_t addressValue(const char *text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

TEST(HardwareAddressText, ParsesOnlyTheExactForm) {
  HardwareAddress expected{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  EXPECT_EQ(parseHardwareAddress("aa:bb:cc:dd:ee:ff"), expected);
  EXPECT_EQ(parseHardwareAddress("AA:BB:CC:DD:EE:FF"), expected);
  EXPECT_EQ(hardwareAddressText(expected), "aa:bb:cc:dd:ee:ff");
  for (const char *bad : {"aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:ff:00", "a:bb:cc:dd:ee:ff",
                          "aa-bb-cc-dd-ee-ff", "aa:bb:cc:dd:ee:fg", "",
                          ":::::", "aa:bb:cc:dd:ee:", "aa:bb:cc:dd:ee:ff:", " aa:bb:cc:dd:ee:f",
                          "aaa:bb:cc:dd:ee:f", "+a:bb:cc:dd:ee:ff"}) {
    EXPECT_EQ(parseHardwareAddress(bad), std::nullopt) << bad;
  }
}

TEST(HardwareAddresses, TakesUpWiredAndWirelessInterfacesOnly) {
  std::vector<InterfaceAddress> list{
      link("lo", {0, 0, 0, 0, 0, 0}),
      link("br0", {2, 0, 0, 0, 0, 1}),
      link("docker0", {2, 0, 0, 0, 0, 2}),
      link("tun0", {2, 0, 0, 0, 0, 3}),
      link("enp3s0", {0x10, 0, 0, 0, 0, 1}),
      link("eth1", {0x10, 0, 0, 0, 0, 2}, IFF_UP), // not running
      link("wlp2s0", {0x10, 0, 0, 0, 0, 3}),
      link("eth2", {0, 0, 0, 0, 0, 0}),
      link("eth3", {1, 2, 3, 4, 5, 6, 7, 8}),
      ipv4("eth4", {192, 168, 1, 2}, {192, 168, 1, 255}, IFF_UP | IFF_RUNNING),
      link("enp3s0", {0x10, 0, 0, 0, 0, 1}), // the same interface listed twice
  };
  EXPECT_EQ(hardwareAddresses(list),
            (std::vector<std::string>{"10:00:00:00:00:01", "10:00:00:00:00:03"}));

  std::vector<InterfaceAddress> many;
  for (std::uint8_t i = 1; i <= 6; ++i) {
    many.push_back(link("eth" + std::to_string(i), {0x20, 0, 0, 0, 0, i}));
  }
  EXPECT_EQ(hardwareAddresses(many),
            (std::vector<std::string>{"20:00:00:00:00:01", "20:00:00:00:00:02", "20:00:00:00:00:03",
                                      "20:00:00:00:00:04"}));
}

TEST(BroadcastAddresses, LimitedBroadcastFirstThenEachNetworkOnce) {
  EXPECT_EQ(broadcastAddresses(std::nullopt), std::vector<std::uint32_t>{0xFFFFFFFFu});
  std::vector<InterfaceAddress> list{
      ipv4("eth0", {192, 168, 1, 2}, {192, 168, 1, 255}),
      ipv4("eth0", {192, 168, 1, 3}, {192, 168, 1, 255}),
      ipv4("eth1", {10, 0, 0, 2}, {10, 0, 0, 255}, IFF_BROADCAST), // down
      ipv4("wl0", {10, 1, 0, 2}, {}),
      ipv4("wl1", {10, 2, 0, 2}, {255, 255, 255, 255}),
      ipv4("eth5", {172, 16, 0, 2}, {172, 16, 255, 255}),
  };
  EXPECT_EQ(broadcastAddresses(list),
            (std::vector<std::uint32_t>{0xFFFFFFFFu, addressValue("192.168.1.255"),
                                        addressValue("172.16.255.255")}));
}

TEST(SendWake, OnePacketPerAddressAndBroadcast) {
  RecordingBroadcastSender sender;
  std::vector<std::uint32_t> broadcasts{0xFFFFFFFFu, addressValue("192.168.1.255")};
  EXPECT_EQ(sendWake({"aa:bb:cc:dd:ee:ff", "nonsense", "01:02:03:04:05:06"}, sender, broadcasts),
            4);
  ASSERT_EQ(sender.datagrams.size(), 4u);
  EXPECT_EQ(sender.opened, 1);
  EXPECT_EQ(sender.closed, 1);

  const auto &packet = sender.datagrams[0].payload;
  ASSERT_EQ(packet.size(), magicPacketSize);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(packet[i], 0xFF);
  }
  for (int repeat = 0; repeat < 16; ++repeat) {
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(packet[6 + repeat * 6 + i], 0xaa + 0x11 * i);
    }
  }
  EXPECT_EQ(sender.datagrams[0].address, 0xFFFFFFFFu);
  EXPECT_EQ(sender.datagrams[1].address, addressValue("192.168.1.255"));
  EXPECT_EQ(sender.datagrams[1].payload, packet);
  EXPECT_EQ(sender.datagrams[2].payload[6], 0x01);
  for (const auto &datagram : sender.datagrams) {
    EXPECT_EQ(datagram.port, 9);
  }
}

TEST(SendWake, FailuresOnlyLowerTheCount) {
  std::vector<std::uint32_t> broadcasts{0xFFFFFFFFu};
  RecordingBroadcastSender empty;
  EXPECT_EQ(sendWake({}, empty, broadcasts), 0);
  EXPECT_TRUE(empty.datagrams.empty());

  RecordingBroadcastSender noSocket;
  noSocket.openError = EMFILE;
  EXPECT_EQ(sendWake({"aa:bb:cc:dd:ee:ff"}, noSocket, broadcasts), 0);

  RecordingBroadcastSender failing;
  failing.sendError = ENETUNREACH;
  EXPECT_EQ(sendWake({"aa:bb:cc:dd:ee:ff", "aa:bb:cc:dd:ee:00"}, failing, broadcasts), 0);

  RecordingBroadcastSender shortSends;
  shortSends.shortBy = 1;
  EXPECT_EQ(sendWake({"aa:bb:cc:dd:ee:ff"}, shortSends, broadcasts), 0);
  EXPECT_EQ(shortSends.datagrams.size(), 1u);
}

} // namespace
} // namespace corvane
