// annwatch.so loaded with dlopen, as the engine loads it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/include/tvsk/AddressFilterList.h"
#include "sap/tests/sap_test_support.h"
#include "testing/plugin_host/annwatch_host_library.h"
#include "testing/sap_announce/sap_sender.h"

using namespace std::chrono_literals;
using sap_test::aes67Sdp;
using sap_test::hasThreadNamed;
using sap_test::Inbox;
using testing_support::AnnwatchLibrary;

namespace {

const AnnwatchLibrary& plugin() {
  static const AnnwatchLibrary library(ANNWATCH_PLUGIN_PATH);
  return library;
}

void collect(void* user, const char* json) { static_cast<Inbox<std::string>*>(user)->push(json); }

// A started discovery object on the SAP port, reporting into messages.
class RunningPlugin {
 public:
  explicit RunningPlugin(const std::string& createJson, tvsk::AddressFilterList* filter = nullptr) {
    EXPECT_EQ(plugin().create(&discovery, createJson.c_str()), 1);
    EXPECT_EQ(plugin().setCallback(discovery, &collect, &messages), 0);
    const std::string startJson =
        filter ? "{\"ListAddress\":" + std::to_string(reinterpret_cast<uintptr_t>(filter)) + "}" : "{}";
    EXPECT_EQ(plugin().start(discovery, startJson.c_str()), 0);
  }
  ~RunningPlugin() { EXPECT_EQ(plugin().destroy(discovery), 0); }

  void send(uint16_t hash, const std::string& sdp, bool deletion = false) const {
    testing_support::SapMessage message;
    message.hash = hash;
    message.deletion = deletion;
    message.sdp = deletion ? testing_support::originLineOf(sdp) : sdp;
    sender.send(testing_support::buildSapPacket(message));
  }

  void* discovery = nullptr;
  Inbox<std::string> messages;
  testing_support::SapSender sender;
};

class PluginOnTheWire : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_OUTSIDE_TEST_NAMESPACE(); }
};

}  // namespace

TEST(PluginEntries, TableServesItsNumbersOnly) {
  for (uint32_t id : {0u, 1u, 6u}) {
    const auto noop = reinterpret_cast<DiscoverySapNoopFn>(plugin().entry(id));
    ASSERT_NE(noop, nullptr) << id;
    EXPECT_EQ(noop(), 0);
  }
  for (uint32_t id : {8u, 10u, 11u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(plugin().entry(id), nullptr) << id;
  }
  int major = -1;
  int minor = -1;
  EXPECT_EQ(plugin().getVersion(&major, &minor), 0);
  EXPECT_EQ(major, 0);
  EXPECT_EQ(minor, 3);
  EXPECT_EQ(plugin().getVersion(nullptr, &minor), -1);
  EXPECT_EQ(plugin().getVersion(&major, nullptr), -1);
  EXPECT_EQ(plugin().freeBuffer(nullptr), 0);
  EXPECT_EQ(plugin().freeBuffer(new char[8]), 0);
  EXPECT_EQ(plugin().destroy(nullptr), 0);
}

TEST(PluginEntries, BadArgumentsGiveMinusOneAndNoObject) {
  EXPECT_EQ(plugin().create(nullptr, "{}"), -1);
  void* discovery = reinterpret_cast<void*>(0x1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(plugin().create(&discovery, "{\"StartId\":"), -1);
  EXPECT_EQ(discovery, nullptr);
  EXPECT_EQ(plugin().create(&discovery, R"({"StartId":"100"})"), -1);
  EXPECT_EQ(discovery, nullptr);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("DiscoverySap_Create: Not an int\n"), std::string::npos) << errors;

  testing::internal::CaptureStderr();
  EXPECT_EQ(plugin().create(&discovery, nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "SAP DISCOVERY: StartId missing, starting at 0\n");
  EXPECT_EQ(plugin().start(nullptr, "{}"), -1);
  EXPECT_EQ(plugin().setCallback(nullptr, &collect, nullptr), -1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(plugin().start(discovery, "{\"ListAddress\":"), -1);
  EXPECT_EQ(plugin().start(discovery, R"({"ListAddress":"0x10"})"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("DiscoverySap_Start: Not an unsigned integer\n"),
            std::string::npos);
  EXPECT_EQ(plugin().destroy(discovery), 0);
}

TEST_F(PluginOnTheWire, AnnouncementAndDeletionGiveAddAndRemoveWithOneId) {
  RunningPlugin running(R"({"StartId":100})");
  running.send(0x1234, aes67Sdp("Stage"));
  running.send(0x1234, aes67Sdp("Stage"));
  ASSERT_TRUE(running.messages.waitFor(1));
  EXPECT_TRUE(hasThreadNamed("DiscoverySap"));
  const auto add = nlohmann::json::parse(running.messages.items()[0]);
  EXPECT_EQ(add["Action"], "Add");
  EXPECT_EQ(add["Id"], 100);
  const auto& payload = add["Payload"];
  EXPECT_EQ(payload["DestinationIp"], "239.69.1.2");
  EXPECT_EQ(payload["DestinationPort"], 5004);
  EXPECT_EQ(payload["Domain"], 0);
  EXPECT_EQ(payload["Encoding"], "L24");
  EXPECT_EQ(payload["GMID"], "00-1D-C1-FF-FE-12-34-56");
  EXPECT_EQ(payload["Ip"], "127.0.0.1");
  EXPECT_EQ(payload["Name"], "Stage");
  EXPECT_EQ(payload["Origin"], "SAP");
  EXPECT_EQ(payload["SampleRate"], 48000);
  EXPECT_EQ(payload["TrackNumber"], 2);
  EXPECT_EQ(payload["Tracks"], nlohmann::json::array({"Track 0", "Track 1"}));
  EXPECT_EQ(payload.size(), 11u);
  // Compact, keys in byte order.
  EXPECT_EQ(running.messages.items()[0], add.dump());

  running.send(0x1234, aes67Sdp("Stage"), true);
  ASSERT_TRUE(running.messages.waitFor(2));
  EXPECT_EQ(running.messages.items()[1], R"({"Action":"Remove","Id":100,"Payload":{}})");
}

TEST_F(PluginOnTheWire, FilteredAddressReportsNothing) {
  tvsk::AddressFilterList filter;
  filter.addresses.insert("127.0.0.1");
  RunningPlugin running(R"({"StartId":7})", &filter);
  running.send(1, aes67Sdp("Filtered"));
  running.send(1, aes67Sdp("Filtered"), true);
  // A stream from an unlisted address marks the end: it gets the first Id.
  running.send(2, aes67Sdp("Marker", "1", "2", "10.9.9.9"));
  ASSERT_TRUE(running.messages.waitFor(1));
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(running.messages.size(), 1u);
  const auto marker = nlohmann::json::parse(running.messages.items()[0]);
  EXPECT_EQ(marker["Id"], 7);
  EXPECT_EQ(marker["Payload"]["Name"], "Marker");
}

TEST_F(PluginOnTheWire, ModificationRemovesTheOldStreamAndAddsTheNew) {
  RunningPlugin running(R"({"StartId":2.9})");
  running.send(0x10, aes67Sdp("Stage", "1"));
  ASSERT_TRUE(running.messages.waitFor(1));
  running.send(0x11, aes67Sdp("Stage", "2"));
  ASSERT_TRUE(running.messages.waitFor(3));
  const auto items = running.messages.items();
  EXPECT_EQ(nlohmann::json::parse(items[0])["Id"], 2);
  EXPECT_EQ(items[1], R"({"Action":"Remove","Id":2,"Payload":{}})");
  EXPECT_EQ(nlohmann::json::parse(items[2])["Id"], 3);
  EXPECT_EQ(nlohmann::json::parse(items[2])["Action"], "Add");
}

TEST_F(PluginOnTheWire, SecondStartIsRefusedAndDestroyIsQuick) {
  void* discovery = nullptr;
  ASSERT_EQ(plugin().create(&discovery, "{\"StartId\":true}"), 1);
  EXPECT_EQ(plugin().start(discovery, "{}"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(plugin().start(discovery, "{}"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "DiscoverySap_Start: already started\n");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(plugin().destroy(discovery), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
  EXPECT_FALSE(hasThreadNamed("DiscoverySap"));
}
