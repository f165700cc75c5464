#include "plugins/annwatch/stream_message.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sdp/src/parser.h"
#include "tvsk/CompactJson.h"

using annwatch::add_message;
using annwatch::leading_int;
using annwatch::read_stream_record;
using annwatch::remove_message;

namespace {

std::string addFor(const std::string& sdp, int32_t id = 100) {
  return add_message(id, read_stream_record(*sdp::parse_session_description(sdp)));
}

// The "Payload" of the "Add" of an SDP, read back.
nlohmann::json payloadOf(const sdp::session_description& description) {
  return nlohmann::json::parse(add_message(0, read_stream_record(description)))["Payload"];
}

const char* const kHead =
    "v=0\r\n"
    "o=- 1 1 IN IP4 127.0.0.1\r\n"
    "s=Test\r\n"
    "t=0 0\r\n";

}  // namespace

TEST(StreamMessage, AddOfAnAes67Stream) {
  const std::string sdp = std::string(kHead) +
                          "m=audio 5004 RTP/AVP 98\r\n"
                          "c=IN IP4 239.1.2.3/32\r\n"
                          "a=rtpmap:98 L24/48000/2\r\n"
                          "a=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\n"
                          "a=mediaclk:direct=0\r\n";
  EXPECT_EQ(addFor(sdp),
            R"({"Action":"Add","Id":100,"Payload":{"DestinationIp":"239.1.2.3","DestinationPort":5004,"Domain":0,)"
            R"("Encoding":"L24","GMID":"00-1D-C1-FF-FE-12-34-56","Ip":"127.0.0.1","Name":"Test","Origin":"SAP",)"
            R"("SampleRate":48000,"TrackNumber":2,"Tracks":["Track 0","Track 1"]}})");
}

TEST(StreamMessage, SessionWithoutMediaGetsDefaultsAndNoPort) {
  EXPECT_EQ(addFor(kHead, 7),
            R"({"Action":"Add","Id":7,"Payload":{"DestinationIp":"0.0.0.0","Domain":0,"Encoding":"","GMID":"",)"
            R"("Ip":"127.0.0.1","Name":"Test","Origin":"SAP","SampleRate":0,"TrackNumber":0,"Tracks":[]}})");
  const auto record = payloadOf(*sdp::parse_session_description(std::string(kHead) + "c=IN IP4 239.9.9.9/16\r\n"));
  EXPECT_EQ(record["DestinationIp"], "239.9.9.9");
}

TEST(StreamMessage, ReadsOnlyTheFirstAudioMediaAndItsOwnAttributes) {
  const std::string sdp = std::string(kHead) +
                          "c=IN IP4 239.0.0.1/32\r\n"
                          "a=rtpmap:96 L16/44100/4\r\n"
                          "m=video 6000 RTP/AVP 97\r\n"
                          "c=IN IP4 239.0.0.2/32\r\n"
                          "a=rtpmap:97 raw/90000\r\n"
                          "m=audio 5006/2 RTP/AVP 98\r\n"
                          "a=rtpmap:98 L16/96000/1\r\n"
                          "a=rtpmap:98 L24/48000/8\r\n"
                          "a=ts-refclk:ptp=traceable\r\n"
                          "m=audio 7000 RTP/AVP 99\r\n"
                          "c=IN IP4 239.0.0.3/32\r\n"
                          "a=rtpmap:99 L24/44100/16\r\n";
  const auto record = payloadOf(*sdp::parse_session_description(sdp));
  // The first audio media has no c= of its own: the session's address.
  EXPECT_EQ(record["DestinationIp"], "239.0.0.1");
  EXPECT_EQ(record["DestinationPort"], 5006);
  EXPECT_EQ(record["Encoding"], "L24");
  EXPECT_EQ(record["SampleRate"], 48000);
  EXPECT_EQ(record["TrackNumber"], 8);
  ASSERT_EQ(record["Tracks"].size(), 8u);
  EXPECT_EQ(record["Tracks"][7], "Track 7");
  EXPECT_EQ(record["GMID"], "00-00-00-00-00-00-00-00");
  EXPECT_EQ(record["Domain"], 0);
}

TEST(StreamMessage, DomainNumberFormAndMissingChannelCount) {
  const std::string sdp = std::string(kHead) +
                          "m=audio 5004 RTP/AVP 98\r\n"
                          "a=rtpmap:98 L24/48000\r\n"
                          "a=ts-refclk:ptp=IEEE1588-2008:01-02-03-04-05-06-07-08:domain-nmbr=42\r\n";
  const auto record = payloadOf(*sdp::parse_session_description(sdp));
  EXPECT_EQ(record["TrackNumber"], 1);
  EXPECT_EQ(record["Tracks"], nlohmann::json::array({"Track 0"}));
  EXPECT_EQ(record["GMID"], "01-02-03-04-05-06-07-08");
  EXPECT_EQ(record["Domain"], 42);
}

TEST(StreamMessage, MalformedNumbersAndAttributesKeepTheDefaults) {
  const std::string sdp = std::string(kHead) +
                          "m=audio abc RTP/AVP 98\r\n"
                          "a=rtpmap:98\r\n"
                          "a=ts-refclk:ptp=IEEE1588-2008:1FF-1D-C1-FF-FE-12-34-56:0\r\n";
  const auto record = payloadOf(*sdp::parse_session_description(sdp));
  EXPECT_EQ(record["DestinationPort"], 0);
  EXPECT_EQ(record["Encoding"], "");
  EXPECT_EQ(record["TrackNumber"], 0);
  EXPECT_EQ(record["GMID"], "");
  EXPECT_EQ(record["DestinationIp"], "0.0.0.0");

  const auto clockText = payloadOf(*sdp::parse_session_description(
      std::string(kHead) + "m=audio 99999999999 RTP/AVP 98\r\na=rtpmap:98 L24/abc/2\r\n"));
  EXPECT_EQ(clockText["DestinationPort"], 0);
  EXPECT_EQ(clockText["SampleRate"], 0);
  EXPECT_EQ(clockText["Encoding"], "L24");
  EXPECT_EQ(clockText["TrackNumber"], 2);
}

TEST(StreamMessage, MissingOriginAndHostileNamesStillSerialise) {
  EXPECT_EQ(payloadOf(*sdp::parse_session_description("s=no origin\r\n"))["Ip"], "");
  EXPECT_EQ(payloadOf(*sdp::parse_session_description(""))["Name"], "");

  const std::string hostile = "o=- 1 1 IN IP4 10.0.0.1\r\ns=\"q\" \\ \x01 \xFF\xC3\r\n";
  const std::string text = addFor(hostile, 1);
  EXPECT_NE(text.find(R"("Name":"\"q\" \\ \u0001 )"
                      "\xEF\xBF\xBD\xEF\xBF\xBD"
                      R"(")"),
            std::string::npos)
      << text;
  EXPECT_TRUE(nlohmann::json::accept(text));
}

// The message text is written directly: byte for byte what the JSON library writes for the same
// members, whatever the network put into the strings.
TEST(StreamMessage, TextIsWhatTheJsonLibraryWrites) {
  std::vector<std::string> texts = {"",
                                    "plain",
                                    "\"",
                                    "\\",
                                    "\x7F",
                                    "\xC3\xA9",
                                    "\xE2\x82\xAC",
                                    "\xF0\x9F\x8E\xB5",
                                    "\xFF",
                                    "\xC3",
                                    "\xE2\x82",
                                    "\xED\xA0\x80",
                                    "\xC0\xAF",
                                    "a\xF4\x90\x80\x80"
                                    "b"};
  for (int c = 0; c < 0x20; ++c) {
    texts.push_back("x" + std::string(1, static_cast<char>(c)) + "y");
  }
  for (const std::string& text : texts) {
    annwatch::stream_record record;
    record.destination_ip = text;
    record.encoding = text;
    record.gmid = text;
    record.ip = text;
    record.name = text;
    record.destination_port = -5;
    record.domain = 4294967295u;
    record.sample_rate = -2147483647 - 1;
    record.track_number = 3;
    nlohmann::json payload = nlohmann::json::object();
    payload["DestinationIp"] = text;
    payload["DestinationPort"] = -5;
    payload["Domain"] = 4294967295u;
    payload["Encoding"] = text;
    payload["GMID"] = text;
    payload["Ip"] = text;
    payload["Name"] = text;
    payload["Origin"] = "SAP";
    payload["SampleRate"] = -2147483647 - 1;
    payload["TrackNumber"] = 3;
    payload["Tracks"] = {"Track 0", "Track 1", "Track 2"};
    const nlohmann::json message = {{"Action", "Add"}, {"Id", 2147483647}, {"Payload", payload}};
    EXPECT_EQ(add_message(2147483647, record), tvsk::compactJson(message))
        << nlohmann::json(text).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  }
}

TEST(StreamMessage, RemoveMessage) {
  EXPECT_EQ(remove_message(100), R"({"Action":"Remove","Id":100,"Payload":{}})");
  EXPECT_EQ(remove_message(-5), R"({"Action":"Remove","Id":-5,"Payload":{}})");
}

TEST(StreamMessage, LeadingIntReadsLikeStoiWithoutThrowing) {
  EXPECT_EQ(leading_int("5004"), 5004);
  EXPECT_EQ(leading_int("5004/2"), 5004);
  EXPECT_EQ(leading_int(" 48000"), 48000);
  EXPECT_EQ(leading_int("+7x"), 7);
  EXPECT_EQ(leading_int("-1"), -1);
  EXPECT_EQ(leading_int("2147483647"), 2147483647);
  EXPECT_EQ(leading_int("2147483648"), 0);
  EXPECT_EQ(leading_int("99999999999"), 0);
  EXPECT_EQ(leading_int(""), 0);
  EXPECT_EQ(leading_int("abc"), 0);
  EXPECT_EQ(leading_int("-"), 0);
  EXPECT_EQ(leading_int("+-1"), 0);
}
