#include "plugins/annwatch/discovery_sap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "plugins/annwatch/cmd_browser_callback.h"
#include "sap/tests/sap_test_support.h"
#include "sdp/src/parser.h"
#include "testing/sap_announce/sap_sender.h"
#include "testing/stdout_capture.h"

using namespace std::chrono_literals;
using annwatch::discovery_settings;
using annwatch::DiscoverySap;
using sap_test::aes67Sdp;
using sap_test::Inbox;
using testing_support::buildSapPacket;
using testing_support::SapMessage;
using testing_support::SapSender;

namespace {

void collect(void* user, const char* json) { static_cast<Inbox<std::string>*>(user)->push(json); }

class DiscoverySapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("LUMORA_TEST_NAMESPACE") == nullptr) {
      GTEST_SKIP() << "joins on lo only inside the private test namespace";
    }
  }

  std::unique_ptr<DiscoverySap> start(int32_t startId, std::vector<std::string> addresses = {"127.0.0.1"}) {
    discovery_settings settings;
    settings.addresses = [addresses] { return addresses; };
    settings.port = port;
    settings.listener = listenerOptions;
    auto discovery = std::make_unique<DiscoverySap>(startId, settings);
    discovery->set_callback(&collect, &messages);
    EXPECT_TRUE(discovery->list_interfaces(0));
    return discovery;
  }

  void send(uint16_t hash, const std::string& sdp, bool deletion = false) {
    SapMessage message;
    message.hash = hash;
    message.sdp = deletion ? testing_support::originLineOf(sdp) : sdp;
    message.deletion = deletion;
    sender.send(buildSapPacket(message));
  }

  // Waits for count messages in all and returns those not taken before.
  std::vector<std::string> take(size_t count) {
    EXPECT_TRUE(messages.waitFor(taken + count)) << "waiting for " << count << " messages";
    auto all = messages.items();
    std::vector<std::string> fresh(all.begin() + static_cast<long>(taken), all.end());
    taken = all.size();
    return fresh;
  }

  static std::string add(int32_t id, const std::string& name, const std::string& ip = "127.0.0.1") {
    return R"({"Action":"Add","Id":)" + std::to_string(id) +
           R"(,"Payload":{"DestinationIp":"239.69.1.2","DestinationPort":5004,"Domain":0,"Encoding":"L24",)"
           R"("GMID":"00-1D-C1-FF-FE-12-34-56","Ip":")" +
           ip + R"(","Name":")" + name +
           R"(","Origin":"SAP","SampleRate":48000,"TrackNumber":2,"Tracks":["Track 0","Track 1"]}})";
  }
  static std::string remove(int32_t id) {
    return R"({"Action":"Remove","Id":)" + std::to_string(id) + R"(,"Payload":{}})";
  }

  uint16_t port = sap_test::freeUdpPort();
  SapSender sender{port};
  sap::listener_options listenerOptions;
  Inbox<std::string> messages;
  size_t taken = 0;
};

using Messages = std::vector<std::string>;

}  // namespace

TEST_F(DiscoverySapTest, ModificationRemovesTheOldIdAndAddsANewOne) {
  auto discovery = start(0);
  send(10, aes67Sdp("Stage", "1"));
  EXPECT_EQ(take(1), Messages{add(0, "Stage")});
  // Same hash, changed content.
  send(10, aes67Sdp("Stage renamed", "1"));
  EXPECT_EQ(take(2), (Messages{remove(0), add(1, "Stage renamed")}));
  // New hash, newer version of the same session.
  send(11, aes67Sdp("Stage final", "2"));
  EXPECT_EQ(take(2), (Messages{remove(1), add(2, "Stage final")}));
  // The replaced hash's late deletion changes nothing.
  send(10, aes67Sdp("Stage renamed", "1"), true);
  send(11, aes67Sdp("Stage final", "2"), true);
  EXPECT_EQ(take(1), Messages{remove(2)});
}

TEST_F(DiscoverySapTest, EachInterfaceEntryHasItsOwnId) {
  testing_support::StdoutCapture capture;
  auto discovery = start(1, {"127.0.0.1", "127.0.0.1"});
  EXPECT_EQ(capture.take(), "DiscoverySap::list_interfaces 127.0.0.1\nDiscoverySap::list_interfaces 127.0.0.1\n");
  send(7, aes67Sdp("Twice"));
  const auto added = take(2);
  EXPECT_EQ(std::set<std::string>(added.begin(), added.end()),
            (std::set<std::string>{add(1, "Twice"), add(2, "Twice")}));
  send(7, aes67Sdp("Twice"), true);
  const auto removed = take(2);
  EXPECT_EQ(std::set<std::string>(removed.begin(), removed.end()), (std::set<std::string>{remove(1), remove(2)}));
}

TEST_F(DiscoverySapTest, ExpiryRemovesExactlyTheExpiredStream) {
  std::atomic<int64_t> nowMs{0};
  listenerOptions.clock = [&] {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(nowMs.load()));
  };
  listenerOptions.expiry_period = 10ms;
  auto discovery = start(0);
  send(1, aes67Sdp("Old", "1", "1"));
  EXPECT_EQ(take(1), Messages{add(0, "Old")});
  nowMs = 1800000;
  send(2, aes67Sdp("Young", "1", "2"));
  EXPECT_EQ(take(1), Messages{add(1, "Young")});
  nowMs = 3600001;
  EXPECT_EQ(take(1), Messages{remove(0)});
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(messages.size(), 3u);
  discovery->stop();
}

TEST_F(DiscoverySapTest, MalformedAnnouncementsDoNotStopDiscovery) {
  testing_support::StdoutCapture capture;
  auto discovery = start(0);
  sender.send(std::string("\x20\x00\x00\x01", 4));
  sender.send("");
  SapMessage noType;
  noType.hash = 2;
  noType.payloadType.reset();
  noType.sdp = "v=0\r\no=- 2 1 IN IP4 10.2.2.2\r\ns=\xFF name\r\nm=audio abc RTP/AVP 98\r\na=rtpmap:98\r\n";
  sender.send(buildSapPacket(noType));
  noType.hash = 3;
  noType.sdp = "s=\r\n";
  sender.send(buildSapPacket(noType));
  noType.hash = 4;
  noType.sdp = "";
  sender.send(buildSapPacket(noType));
  const auto reported = take(3);
  EXPECT_NE(reported[0].find(R"("Name":")"
                             "\xEF\xBF\xBD"
                             R"( name")"),
            std::string::npos)
      << reported[0];
  EXPECT_NE(reported[1].find(R"("Ip":"","Name":"")"), std::string::npos) << reported[1];
  send(5, aes67Sdp("Valid"));
  EXPECT_EQ(take(1), Messages{add(3, "Valid")});
  discovery->stop();
}

// Deletions of sessions nobody announced are not printed, and a session name of 60,000 bytes
// takes about a kilobyte of its line.
TEST_F(DiscoverySapTest, LogStaysSmallUnderDeletionFloodsAndHugeNames) {
  constexpr int kDeletions = 2000;
  constexpr size_t kMaxLogBytes = 8000;
  const std::string hugeName = std::string(30000, '\x1b') + std::string(30000, 'N');
  Messages reported;
  std::string out;
  {
    testing_support::StdoutCapture capture;
    auto discovery = start(0);
    // Some announcers send the whole description with a deletion.
    SapMessage ghost;
    ghost.deletion = true;
    for (int k = 0; k < kDeletions; ++k) {
      ghost.hash = static_cast<uint16_t>(k + 100);
      ghost.sdp = aes67Sdp("Ghost " + std::to_string(k), "1", std::to_string(k));
      sender.send(buildSapPacket(ghost));
    }
    send(1, aes67Sdp(hugeName));
    reported = take(1);
    send(1, aes67Sdp(hugeName), true);
    const auto removed = take(1);
    reported.insert(reported.end(), removed.begin(), removed.end());
    discovery->stop();
    out = capture.take();
  }
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(reported[0])["Payload"]["Name"].get<std::string>().size(), hugeName.size());
  EXPECT_EQ(reported[1], remove(0));
  EXPECT_LT(out.size(), kMaxLogBytes) << out.substr(0, kMaxLogBytes);
  EXPECT_EQ(out.find("Ghost"), std::string::npos) << out.substr(0, kMaxLogBytes);
  EXPECT_NE(out.find("Dante/SAP discover : \\x1B\\x1B"), std::string::npos) << out.substr(0, kMaxLogBytes);
  EXPECT_NE(out.find("\\x1B... added\n\n"), std::string::npos) << out.substr(0, kMaxLogBytes);
  EXPECT_NE(out.find("\\x1B... removed\n\n"), std::string::npos) << out.substr(0, kMaxLogBytes);
}

TEST_F(DiscoverySapTest, CallbackMaySetLateAndIdsAdvanceWithoutOne) {
  discovery_settings settings;
  settings.addresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
  settings.port = port;
  DiscoverySap discovery(40, settings);
  ASSERT_TRUE(discovery.list_interfaces(0));
  EXPECT_FALSE(discovery.list_interfaces(0));
  send(1, aes67Sdp("Unheard", "1", "1"));
  for (int i = 0; i < 100 && discovery.next_id() == 40; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(discovery.next_id(), 41);
  discovery.set_callback(&collect, &messages);
  send(2, aes67Sdp("Heard", "1", "2"));
  EXPECT_EQ(take(1), Messages{add(41, "Heard")});
}

namespace {

struct SelfDestroy {
  DiscoverySap* discovery = nullptr;
  std::promise<bool> stopped;
};

void stopFromCallback(void* user, const char*) {
  auto* self = static_cast<SelfDestroy*>(user);
  self->stopped.set_value(self->discovery->stop());
}

}  // namespace

TEST_F(DiscoverySapTest, StopFromInsideTheCallbackIsRefused) {
  auto discovery = start(0);
  SelfDestroy self{discovery.get(), {}};
  discovery->set_callback(&stopFromCallback, &self);
  auto refused = self.stopped.get_future();
  send(1, aes67Sdp());
  ASSERT_EQ(refused.wait_for(3s), std::future_status::ready);
  EXPECT_FALSE(refused.get());
  EXPECT_TRUE(discovery->stop());
}

TEST_F(DiscoverySapTest, BadOrMissingInterfacesStillStart) {
  testing_support::StdoutCapture capture;
  auto none = start(0, {});
  EXPECT_TRUE(none->stop());
  auto mixed = start(0, {"::1", "127.0.0.1"});
  send(1, aes67Sdp("Survivor"));
  EXPECT_EQ(take(1), Messages{add(0, "Survivor")});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(mixed->stop());
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
  EXPECT_NE(capture.take().find("DiscoverySap::list_interfaces ::1: "), std::string::npos);
}

TEST(DiscoverySapIds, IdsWrapInsteadOfOverflowing) {
  DiscoverySap discovery(std::numeric_limits<int32_t>::max());
  EXPECT_EQ(discovery.assign_id({0, "10.0.0.1", 1}), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(discovery.assign_id({0, "10.0.0.1", 2}), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(discovery.release_id({0, "10.0.0.1", 1}), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(discovery.release_id({0, "10.0.0.1", 1}), std::nullopt);
  EXPECT_EQ(discovery.release_id({1, "10.0.0.1", 2}), std::nullopt);
  EXPECT_TRUE(discovery.stop());
}

TEST(CmdBrowserCallback, PrintsEverySessionAndRemovesOnlyWhatGotAnId) {
  DiscoverySap discovery(100);
  Inbox<std::string> messages;
  discovery.set_callback(&collect, &messages);
  annwatch::cmd_browser_callback callback(DiscoverySap::kSubscriberName, "", discovery, 0);
  const auto session = [](uint16_t hash, const std::string& sdp) {
    return sap::session{"10.0.0.1", hash, "application/sdp", sdp, 0};
  };
  const auto a = session(1, aes67Sdp("A", "1", "1"));
  const auto b = session(2, aes67Sdp("B", "1", "2"));
  const auto c = session(3, aes67Sdp("C", "1", "3"));
  const auto ghost = session(4, "o=- 4 1 IN IP4 10.0.0.1\r\ns=Ghost\r\n");

  testing_support::StdoutCapture capture;
  for (const auto& s : {a, b, c}) {
    callback.added(s, sdp::parse_session_description(s.sdp));
  }
  callback.removed(ghost, sdp::parse_session_description(ghost.sdp));
  callback.removed(b, sdp::parse_session_description(b.sdp));
  EXPECT_EQ(capture.take(),
            "Dante/SAP discover : A added\n\n"
            "Dante/SAP discover : B added\n\n"
            "Dante/SAP discover : C added\n\n"
            "Dante/SAP discover : Ghost removed\n\n"
            "Dante/SAP discover : B removed\n\n");
  const auto items = messages.items();
  ASSERT_EQ(items.size(), 4u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(nlohmann::json::parse(items[k])["Id"], 100 + k);
  }
  EXPECT_EQ(items[3], R"({"Action":"Remove","Id":101,"Payload":{}})");
  EXPECT_EQ(discovery.next_id(), 103);
}
