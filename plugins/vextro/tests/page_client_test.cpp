// Device page client against the simulated device over real sockets, every fault knob included.
#include <chrono>

#include <gtest/gtest.h>

#include "plugins/vextro/src/PageClient.h"
#include "plugins/vextro/tests/TestSupport.h"
#include "testing/vextro_sim/sim_device.h"

namespace Vextro {
namespace {

using vextro_sim::PageFault;
using vextro_sim::SimDevice;
using vextro_test::ScopedPluginLog;

const PageTimeouts kQuick{std::chrono::milliseconds(500), std::chrono::milliseconds(600)};

// The failure text of one fetch of `path`, or "" when it succeeded.
std::string FetchFailure(SimDevice& device, const std::string& path, ParameterMap& out) {
  try {
    FetchPageParameters("127.0.0.1", device.port(), path, out, kQuick);
    return "";
  } catch (const std::exception& error) {
    return error.what();
  }
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST(VextroPageClient, RequestBytesAreExact) {
  ScopedPluginLog log;
  SimDevice device;
  ParameterMap out;
  FetchConfigPage("127.0.0.1", device.port(), out, kQuick);
  SendSavePage("127.0.0.1", device.port(), {{"B_LEVEL", "3 4"}, {"A_DEVICE_NAME", "My Box"}}, kQuick);
  const auto requests = device.requests();
  ASSERT_EQ(requests.size(), 2U);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(device.port()) + "\r\n";
  EXPECT_EQ(requests[0].raw, "GET /config.htm HTTP/1.1\r\n" + host +
                                 "Accept: text/*,*/*\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(requests[1].raw, "GET /save.htm HTTP/1.1\r\n" + host +
                                 "Accept: text/*,*/*\r\nContent-Length: 0\r\nConnection: close\r\n"
                                 "A_DEVICE_NAME: My%20Box\r\nB_LEVEL: 3 4\r\n\r\n");
  EXPECT_EQ(device.config().at("A_DEVICE_NAME"), "My Box");
  EXPECT_EQ(out.at("CONFIG_PARAM_DEVICE_DEVICE_NAME"), "Sim");
  EXPECT_EQ(out.count("Content-Type"), 0U);
  EXPECT_EQ(out.count("Connection"), 0U);
}

TEST(VextroPageClient, HeaderLinesTrimDecodeAndFirstWins) {
  SimDevice device;
  PageFault fault;
  fault.extraHeaderLines = {"NAME_A: 1",     "NAME_A: 2", "NAME_B:   x%20y  ",
                            "no colon here", "NAME_C:",   "Content-Type: overridden"};
  fault.dateServerHeaders = true;
  fault.body = "NAME_D: in the body\r\n";
  device.setFault("/connect.htm", fault);
  ParameterMap out;
  ASSERT_EQ(FetchFailure(device, "/connect.htm", out), "");
  EXPECT_EQ(out, (ParameterMap{{"Date", "Tue, 08 Dec 2026 12:00:00 GMT"},
                               {"NAME_A", "1"},
                               {"NAME_B", "x y"},
                               {"NAME_C", ""},
                               {"Server", "SimDevice/1.0"}}));
  // Device strings may be any bytes; they arrive decoded and unchanged.
  device.setConfig("CONFIG_PARAM_DEVICE_DEVICE_NAME", "Sim\xE9 #1");
  ASSERT_EQ(FetchFailure(device, "/config.htm", out), "");
  EXPECT_EQ(out.at("CONFIG_PARAM_DEVICE_DEVICE_NAME"), "Sim\xE9 #1");
}

TEST(VextroPageClient, LineFeedOnlyLinesAndNoHeaderLines) {
  SimDevice device;
  PageFault bare;
  bare.bareLineFeeds = true;
  device.setFault("/statistic.htm", bare);
  ParameterMap out;
  ASSERT_EQ(FetchFailure(device, "/statistic.htm", out), "");
  EXPECT_EQ(out.at("STATISTIC_PARAM_STATUS"), "268435456");
  PageFault none;
  none.noHeaders = true;
  none.body = "ignored";
  device.setFault("/config.htm", none);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(FetchFailure(device, "/config.htm", out), "");
  EXPECT_TRUE(out.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
}

// The parameters of `previous` with `edits` applied, as a refresh cycle edits its caches.
ParameterMap Edited(const std::string& previous, const ParameterEdits& edits) {
  ParameterMap parameters = ParseHeaderParameters(previous);
  for (const auto& name : edits.removed) {
    parameters.erase(name);
  }
  for (const auto& [name, value] : edits.values) {
    parameters[name] = value;
  }
  return parameters;
}

TEST(VextroPageClient, EditsBetweenPagesGiveWhatAFullParseGives) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
  const std::string previous = head + "B: 1\r\nD:  x%20y \r\nF: 3\r\n\r\n";
  bool inOrder = false;
  EXPECT_EQ(ParseHeaderParameters(previous, &inOrder).size(), 3U);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(EditsBetween(previous, previous)->values.size(), 0U);
  // Values of one byte, encoded values, lines added, removed or renamed anywhere, lines that
  // name no parameter, another status line: all edits.
  for (const std::string& current : {
           head + "B: 2\r\nD:  x%20y \r\nF: 3\r\n\r\n",
           head + "B: 1\r\nD: x%21y+z\r\nF: 3\r\n\r\n",
           std::string("HTTP/1.0 200 Fine\r\nContent-Type: text/html\r\nB: 1\r\nD:  x%20y \r\nF: 3\r\n\r\n"),
           head + "B: 1\r\nC: 9\r\nD:  x%20y \r\nE: 8\r\nF: 3\r\nG: 7\r\n\r\n",
           head + "A: 0\r\nB: 1\r\nD:  x%20y \r\nF: 3\r\n\r\n",
           head + "D:  x%20y \r\n\r\n",
           head + "B: 1\r\nDD: x%20y\r\nF: 3\r\n\r\n",
           head + "B: 1\r\nD x%20y\r\nF: 3\r\nConnection: close\r\n\r\n",
           head + "\r\n",
       }) {
    const auto edits = EditsBetween(previous, current);
    ASSERT_TRUE(edits.has_value()) << current;
    EXPECT_EQ(Edited(previous, *edits), ParseHeaderParameters(current)) << current;
  }
  // A page whose names repeat or run out of order needs a full parse.
  for (const std::string& current : {
           head + "B: 1\r\nB: 2\r\nD:  x%20y \r\nF: 3\r\n\r\n",
           head + "B: 1\r\nD:  x%20y \r\nF: 3\r\nA: 0\r\n\r\n",
           head + "B: 1\r\nF: 3\r\nD: 2\r\n\r\n",
           head + "C: 0\r\nB: 1\r\nD:  x%20y \r\nF: 3\r\n\r\n",
           head + "B: 1\r\nno colon\r\nA: 5\r\nD:  x%20y \r\nF: 3\r\n\r\n",
       }) {
    EXPECT_FALSE(EditsBetween(previous, current).has_value()) << current;
  }
  EXPECT_EQ(ParseHeaderParameters(head + "A: 1\r\nA: 2\r\n\r\n", &inOrder).at("A"), "1");
  EXPECT_FALSE(inOrder);
  EXPECT_EQ(ParseHeaderParameters(head + "B: 1\r\nA: 2\r\n\r\n", &inOrder).size(), 2U);
  EXPECT_FALSE(inOrder);
}

TEST(VextroPageClient, BadStatusLinesAndCodes) {
  ScopedPluginLog log;
  SimDevice device;
  ParameterMap out;
  PageFault icy;
  icy.rawStatusLine = "ICY 200 OK";
  device.setFault("/config.htm", icy);
  EXPECT_EQ(FetchFailure(device, "/config.htm", out), "Invalid/unexpected http response type:ICY");
  PageFault garbage;
  garbage.rawStatusLine = "HTTP/1.1 abc";
  device.setFault("/config.htm", garbage);
  EXPECT_EQ(FetchFailure(device, "/config.htm", out), "Invalid/unexpected http response type:HTTP/1.1");
  PageFault notFound;
  notFound.statusCode = 404;
  device.setFault("/config.htm", notFound);
  EXPECT_EQ(FetchFailure(device, "/config.htm", out), "Response returned with status code: 404");
  ParameterMap configuration{{"stale", "x"}};
  ParameterMap statistics;
  std::string status;
  FetchConfiguration("127.0.0.1", device.port(), configuration, statistics, status, kQuick);
  EXPECT_EQ(status, "Error: Response returned with status code: 404");
  EXPECT_TRUE(configuration.empty());
  EXPECT_TRUE(
      log.contains("ERROR: Failed to fetch configuration from device: Response returned with status code: 404"));
  // A failed statistics page keeps the complete configuration.
  device.clearFaults();
  PageFault serverError;
  serverError.statusCode = 500;
  device.setFault("/statistic.htm", serverError);
  FetchConfiguration("127.0.0.1", device.port(), configuration, statistics, status, kQuick);
  EXPECT_EQ(status, "Error: Response returned with status code: 500");
  EXPECT_EQ(configuration.at("CONFIG_PARAM_DEVICE_DEVICE_NAME"), "Sim");
  EXPECT_TRUE(statistics.empty());
  // A write answered with an error status fails too.
  device.setFault("/save.htm", serverError);
  EXPECT_THROW(SendSavePage("127.0.0.1", device.port(), {{"X", "1"}}, kQuick), std::runtime_error);
  EXPECT_EQ(device.config().count("X"), 0U);
}

TEST(VextroPageClient, EarlyClosesAndOversizedHeaders) {
  SimDevice device;
  ParameterMap out;
  PageFault closeFirst;
  closeFirst.closeBeforeStatus = true;
  device.setFault("/config.htm", closeFirst);
  EXPECT_TRUE(StartsWith(FetchFailure(device, "/config.htm", out), "read_until: "))
      << FetchFailure(device, "/config.htm", out);
  PageFault closeAfter;
  closeAfter.closeAfterStatus = true;
  device.setFault("/config.htm", closeAfter);
  EXPECT_TRUE(StartsWith(FetchFailure(device, "/config.htm", out), "read_until: "));
  // A write reads only the status line, so it succeeds against the same answer.
  device.setFault("/save.htm", closeAfter);
  EXPECT_NO_THROW(SendSavePage("127.0.0.1", device.port(), {{"X", "1"}}, kQuick));
  PageFault huge;
  huge.hugeHeaderBytes = 2 * kMaxHeaderBlockBytes;
  device.setFault("/config.htm", huge);
  EXPECT_TRUE(StartsWith(FetchFailure(device, "/config.htm", out), "read_until: "));
  EXPECT_TRUE(out.empty());
}

TEST(VextroPageClient, HangsAndDelaysAreBounded) {
  ScopedPluginLog log;
  SimDevice device;
  ParameterMap out;
  PageFault slow;
  slow.delayMs = 150;
  device.setFault("/config.htm", slow);
  EXPECT_EQ(FetchFailure(device, "/config.htm", out), "");
  PageFault hang;
  hang.hang = true;
  device.setFault("/config.htm", hang);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(FetchFailure(device, "/config.htm", out), "read_until: Connection timed out");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  device.setFault("/save.htm", hang);
  started = std::chrono::steady_clock::now();
  EXPECT_THROW(SendSavePage("127.0.0.1", device.port(), {{"X", "1"}}, kQuick), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  device.clearFaults();
}

TEST(VextroPageClient, ConnectFailuresAndRefusedValues) {
  ScopedPluginLog log;
  uint16_t closedPort = 0;
  {
    SimDevice gone;
    closedPort = gone.port();
  }
  ParameterMap configuration;
  ParameterMap statistics;
  std::string status;
  FetchConfiguration("127.0.0.1", closedPort, configuration, statistics, status, kQuick);
  EXPECT_EQ(status, "Error: connect: Connection refused");
  EXPECT_TRUE(log.contains("ERROR: Failed to fetch configuration from device: connect: Connection refused"));
  ParameterMap sessions;
  FetchSessions("1234", closedPort, sessions, status, kQuick);
  EXPECT_TRUE(StartsWith(status, "Error: connect: ")) << status;
  EXPECT_TRUE(log.contains("ERROR: Failed to fetch sessions from device: connect: "));

  SimDevice device;
  for (const std::string& bad : {std::string("a\r\nX_INJECTED: 1"), std::string("a\nb"), std::string("a\0b", 3)}) {
    EXPECT_THROW(SendSavePage("127.0.0.1", device.port(), {{"CONFIG_PARAM_X", bad}}, kQuick), std::invalid_argument);
  }
  EXPECT_THROW(SendSavePage("127.0.0.1", device.port(), {{"BAD\rNAME", "1"}}, kQuick), std::invalid_argument);
  EXPECT_EQ(device.requests().size(), 0U);
  // An encoded value cannot break the line, so it passes.
  SendSavePage("127.0.0.1", device.port(), {{"X_STREAM_NAME", "two\r\nlines"}}, kQuick);
  ASSERT_EQ(device.requests().size(), 1U);
  EXPECT_EQ(device.requests()[0].parameters.size(), 1U);
  EXPECT_EQ(device.config().at("X_STREAM_NAME"), "two\r\nlines");
}

TEST(VextroPageClient, SecondListenerServesTheSamePages) {
  vextro_sim::SimOptions options;
  options.secondListener = true;
  SimDevice device(options);
  ParameterMap out;
  FetchStatisticPage("127.0.0.2", device.secondPort(), out, kQuick);
  EXPECT_EQ(out.at("STATISTIC_PARAM_CURRENT_IP_ADDRESS_PHY2"), "127.0.0.2");
  ASSERT_EQ(device.requests().size(), 1U);
  EXPECT_EQ(device.requests()[0].localAddress, "127.0.0.2");
}

}  // namespace
}  // namespace Vextro

namespace Vextro {
namespace {

// The simulated device's sessions page and connect status sequence, which receiver set-ups read.
TEST(VextroSimDevice, SessionsAndConnectStatusSequence) {
  SimDevice device;
  device.setSessions({{"Stream #1", "10.0.0.9 x", 70000, "src", 2, 1}});
  ParameterMap sessions;
  FetchSessionsPage("127.0.0.1", device.port(), sessions, kQuick);
  EXPECT_EQ(sessions.at("S_NUM"), "1");
  EXPECT_EQ(sessions.at("S_1"), "Stream%20%231#10.0.0.9%20x#70000#src#2#1");  // fields 1 and 2 encoded once more
  device.setConnectScript({3, 6}, 8192);
  SendConnectSapPage("127.0.0.1", device.port(),
                     {{"CONNECT_SAP_PARAM_STREAM_ID", "4"}, {"CONNECT_SAP_PARAM_STREAM_ISPHY2", "1"}}, kQuick);
  ParameterMap statistics;
  FetchStatisticPage("127.0.0.1", device.port(), statistics, kQuick);
  EXPECT_EQ(statistics.at("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY2").substr(0, 10), "0#0#0#0#3#");
  FetchStatisticPage("127.0.0.1", device.port(), statistics, kQuick);
  EXPECT_EQ(statistics.at("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY2").substr(0, 10), "0#0#0#0#6#");
  EXPECT_EQ(statistics.at("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_ERROR_STATUS_PHY2").substr(0, 13), "0#0#0#0#8192#");
  EXPECT_EQ(statistics.at("STATISTIC_PARAM_AUDIO_CLIENT_STREAM_STATUS_PHY1").substr(0, 10), "0#0#0#0#0#");
  // Writing the sample-rate index moves the rate bits of the status word.
  SendSavePage("127.0.0.1", device.port(), {{"CONFIG_PARAM_AUDIO_SERVER_SAMPLE_FREQ", "3"}}, kQuick);
  EXPECT_EQ(device.statistics().at("STATISTIC_PARAM_STATUS"), std::to_string(3U << 28));
}

}  // namespace
}  // namespace Vextro
