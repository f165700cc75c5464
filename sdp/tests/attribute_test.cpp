#include "sdp/src/attribute.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "log/tests/log_line.h"
#include "testing/stdout_capture.h"

namespace {

using testing_support::StdoutCapture;

// Parses with stdout captured; returns the attribute and what was logged.
struct parsed {
  std::shared_ptr<sdp::attribute> attribute;
  std::string log;
};

parsed parse(const std::string& text) {
  StdoutCapture capture;
  auto attribute = sdp::parse_attribute(text);
  return {attribute, capture.take()};
}

template <typename T>
std::shared_ptr<T> parse_as(const std::string& text) {
  auto result = parse(text);
  EXPECT_EQ(result.log, "") << text;
  auto typed = std::dynamic_pointer_cast<T>(result.attribute);
  // Callers use the attribute at once: a wrong one ends the test (GoogleTest reports the exception).
  if (typed == nullptr) throw std::runtime_error("not parsed as the expected attribute type: " + text);
  return typed;
}

TEST(SdpAttribute, WritesBackWhatItReads) {
  for (const std::string text : {"rtpmap:98 L24/48000/2",
                                 "rtpmap:96 L16/44100",
                                 "rtpmap:97 L24/48000/0",
                                 "ptime:1",
                                 "ptime:0.125",
                                 "maxptime:0.25",
                                 "mediaclk:direct=0",
                                 "mediaclk:direct=4294967295",
                                 "ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0",
                                 "ts-refclk:ptp=traceable",
                                 "group:DUP primary secondary",
                                 "source-filter: incl IN IP4 239.1.2.3 192.168.1.10",
                                 "framecount:48",
                                 "framecount:40-48",
                                 "palign:4",
                                 "ASIO-clock:3",
                                 "sync-time:0",
                                 "sync-time:4294967295",
                                 "midi-pre:1 2;3 4",
                                 "midi-pre:1 2;",
                                 "midi-pre2:1 2,3;4,5",
                                 "x-custom:abc",
                                 "recvonly",
                                 ":x",
                                 "rtpmap:98 L24/",
                                 "rtpmap:98 /48000",
                                 "rtpmap:98 L24//2",
                                 "ptime:nan",
                                 "maxptime:inf",
                                 "ptime:0"}) {
    const auto result = parse(text);
    EXPECT_TRUE(result.attribute->valid()) << text;
    EXPECT_EQ(sdp::attribute_text(*result.attribute), text);
    EXPECT_EQ(result.log, "") << text;
  }
}

TEST(SdpAttribute, NormalisesEquivalentForms) {
  const std::pair<std::string, std::string> cases[] = {
      {"ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:domain-nmbr=5",
       "ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:5"},
      {"ts-refclk:ptp=IEEE1588-2008:0-1d-c1-ff-fe-12-34-56:0", "ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0"},
      {"rtpmap:98\t L24/48000/2/9", "rtpmap:98 L24/48000/2"},
      {"rtpmap:-1 L24/48000/2", "rtpmap:65535 L24/48000/2"},
      {"sync-time:-1", "sync-time:4294967295"},
      {"framecount:48-48", "framecount:48"},
      {"framecount:48-", "framecount:48"},
      {"framecount:1-2-3", "framecount:1-2"},
      {"midi-pre:5;1", "midi-pre:65535 5;1"},
      {"ptime:+1.0", "ptime:1"},
      {"ptime:0.33", "ptime:0.330000013"},
      {"ptime:1 2", "ptime:1"},
      {"ptime:1e-50", "ptime:0"},
      {"maxptime:-INFINITY", "maxptime:-inf"},
      {"mediaclk:sender=7", "mediaclk:direct=7"},
      {"x-empty:", "x-empty"},
  };
  for (const auto& [input, written] : cases) {
    const auto result = parse(input);
    EXPECT_TRUE(result.attribute->valid()) << input;
    EXPECT_EQ(sdp::attribute_text(*result.attribute), written) << input;
  }
}

TEST(SdpAttribute, RtpmapFields) {
  auto stereo = parse_as<sdp::rtpmap_attribute>("rtpmap:98 L24/48000/2");
  ASSERT_NE(stereo, nullptr);
  EXPECT_EQ(stereo->payload_type(), 98);
  EXPECT_EQ(stereo->encoding(), "L24");
  EXPECT_EQ(stereo->clock_rate(), "48000");
  EXPECT_EQ(stereo->channels(), std::optional<uint16_t>(2));

  // No channel count stays absent rather than becoming 65535 tracks.
  auto mono = parse_as<sdp::rtpmap_attribute>("rtpmap:96 L16/44100");
  ASSERT_NE(mono, nullptr);
  EXPECT_EQ(mono->channels(), std::nullopt);

  // The clock rate is kept as written; reading it as a number is the reader's business.
  auto odd = parse_as<sdp::rtpmap_attribute>("rtpmap:98 L24/abc/2");
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->clock_rate(), "abc");

  auto most = parse_as<sdp::rtpmap_attribute>("rtpmap:98 L24/48000/65535");
  ASSERT_NE(most, nullptr);
  EXPECT_EQ(most->channels(), std::optional<uint16_t>(65535));

  // With a "/" both texts are taken as written, even when empty.
  auto bare = parse_as<sdp::rtpmap_attribute>("rtpmap:98 /");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->encoding(), "");
  EXPECT_EQ(bare->clock_rate(), "");
  EXPECT_EQ(bare->channels(), std::nullopt);
}

TEST(SdpAttribute, ClockReferenceFields) {
  auto ptp = parse_as<sdp::AES67_ts_refclk_attribute>("ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:42");
  ASSERT_NE(ptp, nullptr);
  EXPECT_FALSE(ptp->traceable());
  EXPECT_EQ(ptp->domain(), 42u);
  // The first byte of the text is the least significant.
  EXPECT_EQ(ptp->clock_identity(), 0x563412FEFFC11D00ull);

  auto traceable = parse_as<sdp::AES67_ts_refclk_attribute>("ts-refclk:ptp=traceable");
  ASSERT_NE(traceable, nullptr);
  EXPECT_TRUE(traceable->traceable());
  EXPECT_EQ(traceable->clock_identity(), 0u);
  EXPECT_EQ(traceable->domain(), 0u);

  auto clock = parse_as<sdp::AES67_mediaclk_attribute>("mediaclk:direct=963214424");
  ASSERT_NE(clock, nullptr);
  EXPECT_EQ(clock->offset(), 963214424u);

  auto ptime = parse_as<sdp::AES67_ptime_attribute>("ptime:0.125");
  ASSERT_NE(ptime, nullptr);
  EXPECT_EQ(ptime->milliseconds(), 0.125f);
}

TEST(SdpAttribute, MidiAndGroupingFields) {
  auto pre = parse_as<sdp::midi_pre_attribute>("midi-pre:7 8;1 2 3");
  ASSERT_NE(pre, nullptr);
  EXPECT_EQ(pre->first(), 7);
  EXPECT_EQ(pre->second(), 8u);
  EXPECT_EQ(pre->list(), (std::vector<uint32_t>{1, 2, 3}));

  auto pre2 = parse_as<sdp::midi_pre2_attribute>("midi-pre2:1;2,3,4 5,6 ,");
  ASSERT_NE(pre2, nullptr);
  using pair = sdp::midi_pre2_attribute::pair;
  EXPECT_EQ(pre2->pairs(),
            (std::vector<pair>{sdp::midi_pre2_attribute::kBadPair, {5, 6}, sdp::midi_pre2_attribute::kBadPair}));

  auto group = parse_as<sdp::group_attribute>("group:DUP\tprimary  secondary");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->first(), "primary");
  EXPECT_EQ(group->second(), "secondary");

  auto filter = parse_as<sdp::source_filter_attribute>("source-filter: incl IN IP4 239.1.2.3 192.168.1.10");
  ASSERT_NE(filter, nullptr);
  EXPECT_TRUE(filter->valid());
  EXPECT_EQ(filter->destination_address(), "239.1.2.3");
  EXPECT_EQ(filter->source_address(), "192.168.1.10");
  // Any form but incl IN IP4 is not served, however it was made.
  EXPECT_FALSE(sdp::source_filter_attribute("excl", "IN", "IP4", "239.1.2.3", "10.0.0.1").valid());
  EXPECT_FALSE(sdp::source_filter_attribute("incl", "IN", "IP6", "ff0e::1", "::1").valid());
  EXPECT_FALSE(sdp::source_filter_attribute("incl", "in", "IP4", "239.1.2.3", "10.0.0.1").valid());
}

// Each malformed value becomes a plain attribute marked invalid, after exactly one error line.
TEST(SdpAttribute, MalformedValuesBecomeInvalidPlainAttributesWithOneLogLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"rtpmap:", "exception: rtpmap attribute invalid: \n"},
      {"rtpmap:98", "exception: rtpmap attribute invalid: 98\n"},
      {"rtpmap:98 L24", "exception: rtpmap attribute invalid: 98 L24\n"},
      {"rtpmap:98 L24/48000/", "exception: rtpmap attribute invalid: 98 L24/48000/\n"},
      {"rtpmap:98 L24:48000", "exception: rtpmap attribute invalid: 98 L24:48000\n"},
      {"ptime:1e", "exception: ptime attribute invalid: 1e\n"},
      {"rtpmap:98 L24/48000/70000", "exception: rtpmap attribute invalid: 98 L24/48000/70000\n"},
      {"rtpmap:x98 L24/48000", "exception: rtpmap attribute invalid: x98 L24/48000\n"},
      {"rtpmap:65536 L24/48000", "exception: rtpmap attribute invalid: 65536 L24/48000\n"},
      {"ptime:", "exception: ptime attribute invalid: \n"},
      {"ptime:abc", "exception: ptime attribute invalid: abc\n"},
      {"ptime:1e40", "exception: ptime attribute invalid: 1e40\n"},
      {"ptime:0x1p3", "exception: ptime attribute invalid: 0x1p3\n"},
      {"ptime:1,5", "exception: ptime attribute invalid: 1,5\n"},
      {"maxptime:+-1", "exception: maxptime attribute invalid: +-1\n"},
      {"framecount:-", "exception: framecount attribute invalid: -\n"},
      {"framecount:4294967296", "exception: framecount attribute invalid: 4294967296\n"},
      {"sync-time:4294967296", "exception: sync-time attribute invalid: 4294967296\n"},
      {"sync-time:-4294967296", "exception: sync-time attribute invalid: -4294967296\n"},
      {"sync-time: 1", "exception: sync-time attribute invalid:  1\n"},
      {"palign:", "exception: palign attribute invalid: \n"},
      {"ASIO-clock:70000", "exception: ASIO-clock attribute invalid: 70000\n"},
      {"ASIO-clock:-", "exception: ASIO-clock attribute invalid: -\n"},
      {"midi-pre:;", "2. midi-pre attribute invalid: ;\n"},
      {"midi-pre:;;", "midi-pre attribute invalid: ;;\n"},
      {"midi-pre:1 2", "midi-pre attribute invalid: 1 2\n"},
      {"midi-pre:a b c;1", "2. midi-pre attribute invalid: a b c;1\n"},
      {"midi-pre:70000 1;", "exception: midi-pre attribute invalid: 70000 1;\n"},
      {"midi-pre:1;x", "exception: midi-pre attribute invalid: 1;x\n"},
      {"midi-pre2:1", "midi-pre2 attribute invalid: 1\n"},
      {"midi-pre2:x;1,2", "exception: midi-pre2 attribute invalid: x;1,2\n"},
      {"mediaclk:direct", "mediaclk attribute invalid: direct\n"},
      {"mediaclk:direct=", "mediaclk attribute invalid: direct=\n"},
      {"mediaclk:direct=abc", "exception: mediaclk attribute invalid: direct=abc\n"},
      {"ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34:0",
       "ts-refclk attribute invalid: ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34:0\n"},
      {"ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:dom-nmbr=0",
       "ts-refclk attribute invalid: ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:dom-nmbr=0\n"},
      {"ts-refclk:ptp=IEEE1588-2008:ZZ-1D-C1-FF-FE-12-34-56:0",
       "exception: ts-refclk attribute invalid: ptp=IEEE1588-2008:ZZ-1D-C1-FF-FE-12-34-56:0\n"},
      {"ts-refclk:ptp=IEEE1588-2008:1FF-1D-C1-FF-FE-12-34-56:0",
       "exception: ts-refclk attribute invalid: ptp=IEEE1588-2008:1FF-1D-C1-FF-FE-12-34-56:0\n"},
      {"ts-refclk:ptp=traceable:0", "ts-refclk attribute invalid: ptp=traceable:0\n"},
      {"ts-refclk:ntp=pool", "ts-refclk attribute invalid: ntp=pool\n"},
      {"ts-refclk:localmac=00-11-22-33-44-55", "ts-refclk attribute invalid: localmac=00-11-22-33-44-55\n"},
      {"group:DUP a", "group attribute invalid or not supported: DUP a\n"},
      {"group:DUP a b c", "group attribute invalid or not supported: DUP a b c\n"},
      {"group:FID 1 2", "group attribute invalid or not supported: FID 1 2\n"},
      {"source-filter: incl IN IP4 239.1.2.3",
       "source-filter attribute invalid or not supported:  incl IN IP4 239.1.2.3\n"},
      {"source-filter: incl IN IP4 239.1.2.3 10.0.0.1 10.0.0.2",
       "source-filter attribute invalid or not supported:  incl IN IP4 239.1.2.3 10.0.0.1 10.0.0.2\n"},
      {"source-filter: excl IN IP4 239.1.2.3 10.0.0.1",
       "source-filter attribute invalid or not supported:  excl IN IP4 239.1.2.3 10.0.0.1\n"},
      {"source-filter: incl IN IP6 ff0e::1 ::1",
       "source-filter attribute invalid or not supported:  incl IN IP6 ff0e::1 ::1\n"},
      {"source-filter: incl IN * 239.1.2.3 10.0.0.1",
       "source-filter attribute invalid or not supported:  incl IN * 239.1.2.3 10.0.0.1\n"},
  };
  for (const auto& [input, message] : cases) {
    const auto result = parse(input);
    const auto colon = input.find(':');
    ASSERT_NE(result.attribute, nullptr) << input;
    EXPECT_FALSE(result.attribute->valid()) << input;
    EXPECT_NE(std::dynamic_pointer_cast<sdp::basic_attribute>(result.attribute), nullptr) << input;
    EXPECT_EQ(result.attribute->name(), input.substr(0, colon));
    EXPECT_EQ(result.attribute->value(), input.substr(colon + 1));
    const std::string line = log_test::afterTimeStamp(result.log);
    EXPECT_EQ(line.rfind("In attribute, line ", 0), 0u) << input << " logged " << result.log;
    EXPECT_EQ(line.substr(line.find(log_test::kRed) + log_test::kRed.size()), message + log_test::kReset) << input;
  }
}

TEST(SdpAttribute, UnknownAndCaseMismatchedNamesArePlainAndValid) {
  for (const std::string text : {"x-custom:abc", "RTPMAP:98", "Ptime:abc", "recvonly", "", ":", "a:b:c"}) {
    const auto result = parse(text);
    EXPECT_TRUE(result.attribute->valid()) << text;
    EXPECT_NE(std::dynamic_pointer_cast<sdp::basic_attribute>(result.attribute), nullptr) << text;
    EXPECT_EQ(result.log, "") << text;
  }
  const auto nested = sdp::parse_attribute("a:b:c");
  EXPECT_EQ(nested->name(), "a");
  EXPECT_EQ(nested->value(), "b:c");
  const auto flag = sdp::parse_attribute("recvonly");
  EXPECT_EQ(flag->name(), "recvonly");
  EXPECT_EQ(flag->value(), "");
}

TEST(SdpAttribute, LogLinesEscapeNetworkText) {
  const auto result = parse(std::string("group:FID \x1b[2J\\ \xff\x01", 18));
  EXPECT_FALSE(result.attribute->valid());
  EXPECT_NE(result.log.find("group attribute invalid or not supported: FID \\x1B[2J\\\\ \\xFF\\x01\n"),
            std::string::npos)
      << result.log;
  EXPECT_EQ(result.log.find('\x01'), std::string::npos);
  EXPECT_EQ(result.log.find("\x1b[2J"), std::string::npos);
}

TEST(SdpAttribute, LongValuesStayWhole) {
  const std::string encoding(1000, 'E');
  auto map = parse_as<sdp::rtpmap_attribute>("rtpmap:98 " + encoding + "/48000/2");
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->encoding(), encoding);
  const std::string value(1000, '9');
  const auto result = parse("palign:" + value);
  EXPECT_FALSE(result.attribute->valid());
  EXPECT_EQ(result.attribute->value(), value);
}

}  // namespace
