#include "sdp/src/parser.h"

#include <gtest/gtest.h>

#include "testing/stdout_capture.h"

namespace {

using sdp::parse_session_description;

const char* const kAes67 =
    "v=0\r\n"
    "o=- 1311738121 1311738121 IN IP4 192.168.1.10\r\n"
    "s=Stage 1\r\n"
    "i=2 channels: Left, Right\r\n"
    "c=IN IP4 239.69.1.2/32\r\n"
    "t=0 0\r\n"
    "a=recvonly\r\n"
    "m=audio 5004 RTP/AVP 98\r\n"
    "a=rtpmap:98 L24/48000/2\r\n"
    "a=ptime:1\r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\n"
    "a=mediaclk:direct=0\r\n";

TEST(SdpParser, ReadsAnAes67Announcement) {
  const auto session = parse_session_description(kAes67);
  ASSERT_NE(session->origin, nullptr);
  EXPECT_EQ(session->origin->username, "-");
  EXPECT_EQ(session->origin->session_id, "1311738121");
  EXPECT_EQ(session->origin->session_version, "1311738121");
  EXPECT_EQ(session->origin->network_type, "IN");
  EXPECT_EQ(session->origin->address_type, "IP4");
  EXPECT_EQ(session->origin->unicast_address, "192.168.1.10");
  EXPECT_EQ(session->name, "Stage 1");
  EXPECT_EQ(session->information, "2 channels: Left, Right");
  ASSERT_NE(session->connection, nullptr);
  EXPECT_EQ(session->connection->address_type, "IP4");
  EXPECT_EQ(session->connection->address_text, "239.69.1.2/32");
  EXPECT_EQ(session->connection->address(), "239.69.1.2");
  ASSERT_EQ(session->times.size(), 1u);
  EXPECT_EQ(session->times[0].start, 0u);
  ASSERT_EQ(session->attributes.size(), 1u);
  EXPECT_EQ(session->attributes[0]->name(), "recvonly");

  ASSERT_EQ(session->media.size(), 1u);
  const auto& audio = *session->media[0];
  EXPECT_EQ(audio.media, "audio");
  EXPECT_EQ(audio.port, "5004");
  EXPECT_EQ(audio.protocol, "RTP/AVP");
  EXPECT_EQ(audio.format, "98");
  // The only media section without a c= line shares the session's connection object.
  EXPECT_EQ(audio.connection, session->connection);
  ASSERT_EQ(audio.attributes.size(), 4u);
  EXPECT_NE(std::dynamic_pointer_cast<sdp::rtpmap_attribute>(audio.attributes[0]), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<sdp::AES67_ts_refclk_attribute>(audio.attributes[2]), nullptr);
}

TEST(SdpParser, OnlyTheLastMediaInheritsTheSessionConnection) {
  const auto session =
      parse_session_description("c=IN IP4 239.1.1.1/32\nm=audio 5004 RTP/AVP 98\nm=audio 5006 RTP/AVP 98\n");
  ASSERT_EQ(session->media.size(), 2u);
  EXPECT_EQ(session->media[0]->connection, nullptr);
  EXPECT_EQ(session->media[1]->connection, session->connection);

  const auto own =
      parse_session_description("c=IN IP4 239.1.1.1/32\nm=audio 5004 RTP/AVP 98\nc=IN IP4 239.2.2.2/16/3\n");
  ASSERT_EQ(own->media.size(), 1u);
  ASSERT_NE(own->media[0]->connection, nullptr);
  EXPECT_EQ(own->media[0]->connection->address(), "239.2.2.2");
  EXPECT_EQ(own->connection->address(), "239.1.1.1");
}

TEST(SdpParser, LinesGoToTheSectionTheyStandIn) {
  const auto session = parse_session_description(
      "a=clock-domain:PTPv2 0\nb=AS:100\nm=video 5000 RTP/AVP 96 97 98\nb=AS:5\na=rtpmap:96 raw/90000\n"
      "i=media info\nm=audio 5004/2 RTP/AVP 98\na=rtpmap:98 L24/48000/8\nz=0 -1h\nk=clear:x\np=+1 555\n");
  ASSERT_EQ(session->attributes.size(), 1u);
  EXPECT_EQ(session->attributes[0]->name(), "clock-domain");
  ASSERT_EQ(session->bandwidths.size(), 1u);
  EXPECT_EQ(session->bandwidths[0].type, "AS");
  EXPECT_EQ(session->bandwidths[0].value, 100u);
  // i= inside a media section overwrites the session's information.
  EXPECT_EQ(session->information, "media info");
  ASSERT_EQ(session->media.size(), 2u);
  EXPECT_EQ(session->media[0]->information, "");
  // Only the first format of an m= line is kept.
  EXPECT_EQ(session->media[0]->format, "96");
  ASSERT_EQ(session->media[0]->bandwidths.size(), 1u);
  EXPECT_EQ(session->media[0]->bandwidths[0].value, 5u);
  EXPECT_EQ(session->media[0]->attributes.size(), 1u);
  EXPECT_EQ(session->media[1]->port, "5004/2");
  EXPECT_EQ(session->media[1]->attributes.size(), 1u);
  EXPECT_TRUE(session->media[1]->bandwidths.empty());
}

TEST(SdpParser, EmptyAndDegenerateTextsGiveAnEmptyDescription) {
  for (const std::string text : {"", "\n", "\r\n\r\n", "\r", "v", "v=0", "x", "\n\n\n", "==\n", "s"}) {
    const auto session = parse_session_description(text);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->origin, nullptr) << text;
    EXPECT_EQ(session->name, "") << text;
    EXPECT_TRUE(session->media.empty());
  }
}

TEST(SdpParser, LineEndingsAndEmptyValues) {
  EXPECT_EQ(parse_session_description("s=\n")->name, "");
  EXPECT_EQ(parse_session_description("s=\r\n")->name, "");
  EXPECT_EQ(parse_session_description("s=\r\r\n")->name, "");
  EXPECT_EQ(parse_session_description("s=Stage 1\r\n")->name, "Stage 1");
  EXPECT_EQ(parse_session_description("s=no final newline")->name, "no final newline");
  EXPECT_EQ(parse_session_description("s=a\rb\r\n")->name, "a\rb");
  // Only LF ends a line: a CR-only text is one line, read by its first two characters.
  EXPECT_EQ(parse_session_description("s=x\ro=- 1 1 IN IP4 1.2.3.4\r")->name, "x\ro=- 1 1 IN IP4 1.2.3.4");
  EXPECT_EQ(parse_session_description("v=0\ro=- 1 1 IN IP4 1.2.3.4\rs=x\r")->origin, nullptr);
}

TEST(SdpParser, OriginLines) {
  EXPECT_EQ(parse_session_description("s=x\n")->origin, nullptr);
  const auto short_origin = parse_session_description("o=- 1 1\n")->origin;
  ASSERT_NE(short_origin, nullptr);
  EXPECT_EQ(short_origin->session_version, "1");
  EXPECT_EQ(short_origin->network_type, "");
  EXPECT_EQ(short_origin->unicast_address, "");
  EXPECT_NE(parse_session_description("o=\n")->origin, nullptr);
  const auto two = parse_session_description("o=a 1 1 IN IP4 10.0.0.1\no=b  2 2 IN IP4 10.0.0.2 extra\n")->origin;
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->username, "b");
  EXPECT_EQ(two->session_id, "2");
  EXPECT_EQ(two->unicast_address, "10.0.0.2");
}

TEST(SdpParser, ConnectionLines) {
  const std::pair<std::string, std::pair<std::string, std::string>> cases[] = {
      {"c=", {"", ""}},
      {"c=IN", {"", ""}},
      {"c=IN IP4", {"IP4", ""}},
      {"c=IN IP4 /32", {"IP4", ""}},
      {"c=IN IP4 239.1.2.3", {"IP4", "239.1.2.3"}},
      {"c=IN IP6 ff0e::101/3", {"IP6", "ff0e::101"}},
  };
  for (const auto& [line, expected] : cases) {
    const auto session = parse_session_description(line + "\n");
    ASSERT_NE(session->connection, nullptr) << line;
    EXPECT_EQ(session->connection->address_type, expected.first) << line;
    EXPECT_EQ(session->connection->address(), expected.second) << line;
  }
}

TEST(SdpParser, MediaLinesKeepTheirTextsAsWritten) {
  for (const std::string port : {"", "abc", "-1", "99999999999", "5004/2"}) {
    const auto session = parse_session_description("m=audio " + port + (port.empty() ? "" : " RTP/AVP 98") + "\n");
    ASSERT_EQ(session->media.size(), 1u);
    EXPECT_EQ(session->media[0]->port, port);
  }
  const auto bare = parse_session_description("m=\nm=audio\nm=audio 5004 RTP/AVP\n");
  ASSERT_EQ(bare->media.size(), 3u);
  EXPECT_EQ(bare->media[0]->media, "");
  EXPECT_EQ(bare->media[1]->port, "");
  EXPECT_EQ(bare->media[2]->protocol, "RTP/AVP");
  EXPECT_EQ(bare->media[2]->format, "");
}

TEST(SdpParser, NumbersThatDoNotFitDropTheirLine) {
  const auto session = parse_session_description(
      "b=AS\nb=AS:abc\nb=AS:1099511627776\nb=AS:\nb=AS:-1\nb=:7\n"
      "t=\nt=now 0\nt=1 later\nt=-1 0\nt=5\nt=4294967296 0\n");
  ASSERT_EQ(session->bandwidths.size(), 2u);
  EXPECT_EQ(session->bandwidths[0].value, 4294967295u);
  EXPECT_EQ(session->bandwidths[1].type, "");
  EXPECT_EQ(session->bandwidths[1].value, 7u);
  ASSERT_EQ(session->times.size(), 2u);
  EXPECT_EQ(session->times[0].start, 4294967295u);
  EXPECT_EQ(session->times[1].start, 5u);
  EXPECT_EQ(session->times[1].stop, 0u);
}

TEST(SdpParser, AttributeLinesGoThroughTheFactory) {
  testing_support::StdoutCapture capture;
  const auto session = parse_session_description("a=\na=:x\nm=audio 1 RTP/AVP 98\na=rtpmap:98\n");
  ASSERT_EQ(session->attributes.size(), 2u);
  EXPECT_EQ(session->attributes[0]->name(), "");
  EXPECT_EQ(session->attributes[1]->value(), "x");
  ASSERT_EQ(session->media[0]->attributes.size(), 1u);
  EXPECT_FALSE(session->media[0]->attributes[0]->valid());
  EXPECT_NE(capture.take().find("exception: rtpmap attribute invalid: 98"), std::string::npos);
}

TEST(SdpParser, NetworkBytesInTextsAreKeptAsTheyCame) {
  const std::string name("\"q\\uo\"te\x01\xff\xc0\x80\t", 14);
  EXPECT_EQ(parse_session_description("s=" + name + "\r\n")->name, name);
  const std::string with_nul("s=a\0b\n", 6);
  EXPECT_EQ(parse_session_description(with_nul)->name, std::string("a\0b", 3));
}

TEST(SdpParser, ManyLinesAreAllRead) {
  std::string text = "v=0\n";
  for (int i = 0; i < 2000; ++i) {
    text += "m=audio " + std::to_string(5000 + i) + " RTP/AVP 98\na=x-" + std::to_string(i) + "\n";
  }
  const auto session = parse_session_description(text);
  ASSERT_EQ(session->media.size(), 2000u);
  EXPECT_EQ(session->media.back()->port, "6999");
  EXPECT_EQ(session->media.back()->attributes[0]->name(), "x-1999");
}

}  // namespace
