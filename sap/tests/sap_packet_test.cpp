#include "sap/impl/sap_packet.h"

#include <gtest/gtest.h>

#include "sap/impl/session.h"
#include "testing/sap_announce/sap_sender.h"

using sap::read_sap_packet;
using testing_support::buildSapPacket;
using testing_support::SapMessage;

namespace {

SapMessage announcement(std::string sdp) {
  SapMessage message;
  message.hash = 0xBEEF;
  message.origin = "192.168.1.20";
  message.sdp = std::move(sdp);
  return message;
}

}  // namespace

TEST(ReadSapPacket, ReadsHeaderTypeAndPayload) {
  const std::string datagram = buildSapPacket(announcement("v=0\r\ns=x\r\n"));
  const auto packet = read_sap_packet(datagram);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->version, 1);
  EXPECT_FALSE(packet->ipv6_origin);
  EXPECT_FALSE(packet->deletion);
  EXPECT_FALSE(packet->encrypted);
  EXPECT_FALSE(packet->compressed);
  EXPECT_EQ(packet->hash, 0xBEEF);
  EXPECT_EQ(packet->origin, "192.168.1.20");
  EXPECT_EQ(packet->payload_type, "application/sdp");
  EXPECT_EQ(packet->sdp, "v=0\r\ns=x\r\n");
  EXPECT_EQ(packet->size, datagram.size());
}

TEST(ReadSapPacket, Ipv4OriginsReadAsInetNtopWritesThem) {
  for (const char* origin : {"0.0.0.0", "255.255.255.255", "10.0.100.9", "1.22.203.4", "127.0.0.1"}) {
    SapMessage message = announcement("v=0\r\n");
    message.origin = origin;
    const auto packet = read_sap_packet(buildSapPacket(message));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->origin, origin);
  }
}

TEST(ReadSapPacket, ReadsFlagsIpv6OriginAndSkipsAuthenticationData) {
  SapMessage message = announcement("v=0\r\n");
  message.origin = "2001:db8::7";
  message.deletion = true;
  message.auth = std::string(8, '\x5A');
  message.payloadType = "application/x-other";
  const std::string datagram = buildSapPacket(message);
  ASSERT_EQ(datagram.size(), 4u + 16u + 8u + 20u + 5u);
  const auto packet = read_sap_packet(datagram);
  ASSERT_TRUE(packet);
  EXPECT_TRUE(packet->ipv6_origin);
  EXPECT_TRUE(packet->deletion);
  EXPECT_EQ(packet->origin, "2001:db8::7");
  EXPECT_EQ(packet->auth_length, 2);
  EXPECT_EQ(packet->auth, std::string(8, '\x5A'));
  EXPECT_EQ(packet->payload_type, "application/x-other");
  EXPECT_EQ(packet->sdp, "v=0\r\n");

  message.encrypted = true;
  message.compressed = true;
  message.version = 7;
  const auto flagged = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(flagged);
  EXPECT_TRUE(flagged->encrypted);
  EXPECT_TRUE(flagged->compressed);
  EXPECT_EQ(flagged->version, 7);
}

TEST(ReadSapPacket, PayloadWithoutTypeFieldIsAllSdp) {
  SapMessage message = announcement("v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\n");
  message.payloadType.reset();
  auto packet = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->payload_type, "application/sdp");
  EXPECT_EQ(packet->sdp, message.sdp);

  // No NUL at all, and not starting with v=0 either.
  message.sdp = "s=only a name";
  packet = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->payload_type, "application/sdp");
  EXPECT_EQ(packet->sdp, "s=only a name");

  // A NUL beyond the type's limit is not a type terminator.
  message.sdp = std::string(1100, 'x') + '\0' + "tail";
  packet = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->payload_type, "application/sdp");
  EXPECT_EQ(packet->sdp.size(), 1105u);
}

TEST(ReadSapPacket, SplitsAtTheFirstNul) {
  SapMessage message = announcement(std::string("v=0\r\n\0more", 10));
  message.payloadType = "";
  const auto empty_type = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(empty_type);
  EXPECT_EQ(empty_type->payload_type, "");
  EXPECT_EQ(empty_type->sdp, std::string("v=0\r\n\0more", 10));

  message.payloadType = "application/sdp";
  const auto several = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(several);
  EXPECT_EQ(several->payload_type, "application/sdp");
  EXPECT_EQ(several->sdp, std::string("v=0\r\n\0more", 10));
}

TEST(ReadSapPacket, DeletionWithEmptyPayload) {
  SapMessage message = announcement("");
  message.deletion = true;
  message.payloadType.reset();
  const auto packet = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(packet);
  EXPECT_TRUE(packet->deletion);
  EXPECT_EQ(packet->payload_type, "");
  EXPECT_EQ(packet->sdp, "");
}

TEST(ReadSapPacket, RejectsDatagramsShorterThanHeaderAndAuthentication) {
  const std::string full = buildSapPacket(announcement(""));
  ASSERT_EQ(full.size(), 8u + 16u);
  for (size_t size = 0; size < 8; ++size) {
    EXPECT_FALSE(read_sap_packet(full.substr(0, size))) << size;
  }
  EXPECT_TRUE(read_sap_packet(full.substr(0, 8)));

  std::string ipv6_short = full.substr(0, 19);
  ipv6_short[0] = static_cast<char>(ipv6_short[0] | 0x10);
  EXPECT_FALSE(read_sap_packet(ipv6_short));

  std::string long_auth = full;
  long_auth[1] = static_cast<char>(255);
  EXPECT_FALSE(read_sap_packet(long_auth));
  long_auth[1] = 4;  // 16 bytes: exactly what follows the origin
  const auto exact = read_sap_packet(long_auth);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->auth.size(), 16u);
  EXPECT_EQ(exact->sdp, "");
}

TEST(ReadSapPacket, OriginAllZeroesAndHashZeroAreRead) {
  SapMessage message = announcement("v=0\r\n");
  message.origin = "0.0.0.0";
  message.hash = 0;
  const auto packet = read_sap_packet(buildSapPacket(message));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->origin, "0.0.0.0");
  EXPECT_EQ(packet->hash, 0);
}

// Datagrams written out byte by byte after RFC 2974's figure, so the reader is checked against
// the layout itself and not only against the project's own encoder.
TEST(ReadSapPacket, DatagramsLaidOutByHandAfterTheRfc) {
  using namespace std::string_literals;
  // V=1, A=0 (IPv4), T=0 (announcement), no auth; hash 0x1234; origin 192.0.2.10.
  const std::string ipv4 = "\x20\x00\x12\x34"s + "\xC0\x00\x02\x0A"s + "application/sdp\0"s + "v=0\r\ns=a\r\n";
  const auto announced = read_sap_packet(ipv4);
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->version, 1);
  EXPECT_FALSE(announced->ipv6_origin);
  EXPECT_FALSE(announced->deletion);
  EXPECT_EQ(announced->auth_length, 0);
  EXPECT_EQ(announced->hash, 0x1234);
  EXPECT_EQ(announced->origin, "192.0.2.10");
  EXPECT_EQ(announced->payload_type, "application/sdp");
  EXPECT_EQ(announced->sdp, "v=0\r\ns=a\r\n");
  SapMessage same = announcement("v=0\r\ns=a\r\n");
  same.hash = 0x1234;
  same.origin = "192.0.2.10";
  EXPECT_EQ(buildSapPacket(same), ipv4) << "the test encoder must lay datagrams out as the RFC does";

  // V=1, A=1 (IPv6), T=1 (deletion), one auth word; hash 0xABCD; origin 2001:db8::1; no type field.
  const std::string ipv6 = "\x34\x01\xAB\xCD"s + "\x20\x01\x0D\xB8"s + std::string(11, '\0') + "\x01"s +
                           "\xDE\xAD\xBE\xEF"s + "v=0\r\no=- 1 2 IN IP4 192.0.2.10\r\n";
  const auto deleted = read_sap_packet(ipv6);
  ASSERT_TRUE(deleted);
  EXPECT_TRUE(deleted->ipv6_origin);
  EXPECT_TRUE(deleted->deletion);
  EXPECT_EQ(deleted->auth_length, 1);
  EXPECT_EQ(deleted->auth, "\xDE\xAD\xBE\xEF"s);
  EXPECT_EQ(deleted->hash, 0xABCD);
  EXPECT_EQ(deleted->origin, "2001:db8::1");
  EXPECT_EQ(deleted->payload_type, "application/sdp");
  EXPECT_EQ(deleted->sdp, "v=0\r\no=- 1 2 IN IP4 192.0.2.10\r\n");

  // E and C set, the reserved bit R set too (it carries no meaning for a receiver).
  const auto flagged = read_sap_packet("\x2B\x00\x00\x01"s + "\x0A\x00\x00\x01"s + "x");
  ASSERT_TRUE(flagged);
  EXPECT_TRUE(flagged->encrypted);
  EXPECT_TRUE(flagged->compressed);
  EXPECT_FALSE(flagged->deletion);
  EXPECT_EQ(flagged->origin, "10.0.0.1");

  // The header promises two auth words and an IPv6 origin, but the datagram ends inside them.
  EXPECT_FALSE(read_sap_packet("\x30\x02\x00\x01"s + std::string(16, '\x01') + "\x00\x00\x00"s));
}

TEST(SdpOriginIdentity, SplitsNameFromVersion) {
  const auto identity = sap::sdp_origin_identity("v=0\r\no=jdoe  2890844526 7 IN IP4 10.47.16.5\r\ns=x\r\n");
  EXPECT_EQ(identity.session, "jdoe 2890844526 IN IP4 10.47.16.5 ");
  EXPECT_EQ(identity.version, "7");
  EXPECT_EQ(sap::sdp_origin_identity("o=- 1 2 IN IP4").session, "");
  EXPECT_EQ(sap::sdp_origin_identity("v=0\r\ns=no origin\r\n").version, "");
  EXPECT_EQ(sap::sdp_origin_identity("o=a 1 2 IN IP4 h").session, "a 1 IN IP4 h ");
}
