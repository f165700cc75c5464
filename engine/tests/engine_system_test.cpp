// The whole engine through its C entries, as the agent runs it: the real plug-ins from the build
// against a simulated device and SAP announcements on lo, the advertisement seen by avahi-browse,
// the API through curl and the web page in headless Chromium.
#include "TaviskEngine.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../src/Engine.h"
#include "HttpTestClient.h"
#include "testing/run_command.h"
#include "testing/sap_announce/sap_sender.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"
#include "testing/vextro_sim/sim_device.h"
#include "testing/wait_until.h"

using Json = nlohmann::json;
using testing_support::ScopedEnv;
using testing_support::shellWord;
using testing_support::splitLines;
using testing_support::TempDir;
using testing_support::waitUntil;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#define ENGINE_TEST_SANITIZED 1
#endif

namespace {

constexpr const char* kStageLeftSdp =
    "v=0\r\no=- 1311738121 1311738121 IN IP4 127.0.0.1\r\ns=Stage left\r\nc=IN IP4 239.69.1.2/32\r\nt=0 0\r\n"
    "m=audio 5004 RTP/AVP 98\r\nc=IN IP4 239.69.1.2/32\r\na=rtpmap:98 L24/48000/2\r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\n";
constexpr const char* kScriptSdp =
    "v=0\r\no=- 42 42 IN IP4 127.0.0.1\r\ns=<script>document.title='owned'</script>\r\nc=IN IP4 239.69.1.9/32\r\n"
    "t=0 0\r\nm=audio 5006 RTP/AVP 97\r\na=rtpmap:97 L16/44100/8\r\n";

std::string run(const std::string& command) { return testing_support::runCommand(command).output; }

class EngineSystem : public ::testing::Test {
 protected:
  EngineSystem() {
    std::filesystem::create_directories(pluginDir_);
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    serviceName_ = "_lumoraT" + std::to_string(getpid()) + "_" + test->name();
    serviceName_.resize(std::min<std::size_t>(serviceName_.size(), 63));
    env_.push_back(std::make_unique<ScopedEnv>("TVSK_PLUGIN_DIRS", pluginDir_));
    env_.push_back(std::make_unique<ScopedEnv>("TVSK_SERVICE_NAME", serviceName_));
    env_.push_back(std::make_unique<ScopedEnv>("TVSK_HTTP_PORT", std::nullopt));
    env_.push_back(std::make_unique<ScopedEnv>("TVSK_PLUGINS", std::nullopt));
    env_.push_back(std::make_unique<ScopedEnv>("TVSK_DEVICES_FILE", root_.path() + "/devices.json"));
    env_.push_back(std::make_unique<ScopedEnv>("APPDATA", root_.path() + "/appdata"));
    env_.push_back(std::make_unique<ScopedEnv>("PROGRAMDATA", root_.path() + "/programdata"));
    env_.push_back(std::make_unique<ScopedEnv>("VEXTRO_TIMINGS", "period=300,connect=500,request=1000"));
    testing_support::writeFile(root_.path() + "/devices.json", "[]");
  }

  ~EngineSystem() override { TVSK_Uninitialize(); }

  void addPlugin(const std::string& file) {
    std::filesystem::create_symlink(file, pluginDir_ + "/" + std::filesystem::path(file).filename().string());
  }

  void addSimulatedDevice() {
    const Json devices = Json::array({{{"Origin", "test"},
                                       {"Type", "Vextro CANTOR"},
                                       {"Subtypes", Json::array()},
                                       {"Ip", device_.address()},
                                       {"Port", device_.port()}}});
    testing_support::writeFile(root_.path() + "/devices.json", devices.dump());
  }

  void start(int role) {
    ASSERT_EQ(TVSK_Initialize(-1, 0, role), 0);
    port_ = tvsk::Engine::instance().httpPort();
    ASSERT_NE(port_, 0);
  }

  [[nodiscard]] std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // POST /get through curl, as a user checks the engine by hand; null when it does not answer 200.
  [[nodiscard]] Json get(const std::string& path) const {
    const std::string output = run("curl -s -m 5 -u kilo:mars -w '\\n%{http_code}' -d " +
                                   shellWord("{\"Path\":\"" + path + "\"}") + " " + url("/get"));
    const std::size_t split = output.rfind('\n');
    if (split == std::string::npos || output.substr(split + 1) != "200") return nullptr;
    return Json::parse(output.substr(0, split), nullptr, false);
  }

  void announce(const std::string& sdp, uint16_t hash, bool deletion = false) const {
    testing_support::SapMessage message;
    message.hash = hash;
    message.sdp = deletion ? testing_support::originLineOf(sdp) : sdp;
    message.deletion = deletion;
    sap_.send(testing_support::buildSapPacket(message));
  }

  [[nodiscard]] bool hasStream(const std::string& name) const {
    const Json streams = get("$.Streams");
    if (!streams.is_array()) return false;
    for (const Json& stream : streams) {
      if (stream.is_object() && stream.value("Name", "") == name) return true;
    }
    return false;
  }

  TempDir root_;
  std::string pluginDir_ = root_.path() + "/plugins";
  std::string serviceName_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  vextro_sim::SimDevice device_;
  testing_support::SapSender sap_;
  uint16_t port_ = 0;
};

// avahi-browse's view of our own service: nothing, or its TXT field when it is resolved.
std::optional<std::string> advertisedTxt(const std::string& name) {
  std::optional<std::string> txt;
  for (const std::string& line : splitLines(run("timeout 5 avahi-browse -rtp _ravenna._sub._http._tcp 2>/dev/null"))) {
    if (line.find(";" + name + ";") != std::string::npos) {
      if (line[0] == '=') {
        txt = line.substr(line.rfind(';') + 1);
      } else if (line[0] == '-') {
        txt.reset();  // withdrawn while the cache still listed it
      }
    }
  }
  return txt;
}

}  // namespace

TEST_F(EngineSystem, HostsBothPluginsServesTheirStateAndRunsActions) {
  addPlugin(VEXTRO_PLUGIN_PATH);
  addPlugin(ANNWATCH_PLUGIN_PATH);
  testing_support::writeFile(pluginDir_ + "/notes.so", "not a library");
  addSimulatedDevice();
  std::string printed;
  {
    // Only the start is captured, so failure messages below stay visible.
    testing_support::StdoutCapture capture;
    start(3);
    printed = capture.take();
  }
  EXPECT_NE(printed.find("TVSK plug-in skipped: " + pluginDir_ + "/notes.so: "), std::string::npos) << printed;

  EXPECT_TRUE(waitUntil([&] { return hasStream("Stage left"); }, 5s, 100ms, [&] { announce(kStageLeftSdp, 0x1234); }));
  ASSERT_TRUE(waitUntil([&] { return get("$.Devices[0].Identity.Name") == "Sim"; }, 5s));

  const Json document = get("$");
  ASSERT_TRUE(document.is_object());
  const Json& plugins = document["Config"]["Plugins"];
  EXPECT_NE(std::find(plugins.begin(), plugins.end(), Json::parse(R"({"Name":"vextro","Major":1,"Minor":4})")),
            plugins.end())
      << plugins;
  EXPECT_NE(std::find(plugins.begin(), plugins.end(), Json::parse(R"({"Name":"annwatch","Major":0,"Minor":3})")),
            plugins.end())
      << plugins;
  EXPECT_EQ(plugins.size(), 2u);
  EXPECT_EQ(document["Config"]["PluginDirectory"], Json::array({pluginDir_}));
  EXPECT_EQ(document["Config"]["Role"], 3);
  ASSERT_EQ(document["Devices"].size(), 1u);
  EXPECT_EQ(document["Devices"][0]["Id"], 1);
  const Json stream = get("$.Streams[?(@.Name=='Stage left')]");
  EXPECT_EQ(stream["DestinationIp"], "239.69.1.2");
  EXPECT_EQ(stream["SampleRate"], 48000);
  EXPECT_EQ(stream["TrackNumber"], 2);

  EXPECT_EQ(run("curl -s -m 5 -o /dev/null -w '%{http_code}' -d '{\"Path\":\"$\"}' " + url("/get")), "401");

  // An action list reaches the device (its request log shows the write), and the next read shows it.
  device_.clearRequests();
  const std::string actions = R"({"Id":1,"Actions":[{"Path":"Actions.CreateStreamer","Data":{"StreamName":"Engine S1",)"
                              R"("Mapping":[{"IOGroupId":0,"InputId":0},{"IOGroupId":0,"InputId":1}]}}]})";
  EXPECT_EQ(run("curl -s -m 10 -u kilo:mars -d '" + actions + "' " + url("/action")), R"({"Result":0})");
  bool wroteName = false;
  for (const auto& request : device_.requests()) {
    for (const auto& [name, value] : request.parameters) {
      wroteName =
          wroteName || (request.path == "/save.htm" && name == "CONFIG_PARAM_AUDIO_SERVER_STREAM_1_STREAM_NAME" &&
                        vextro_sim::decodeValue(value) == "Engine S1");
    }
  }
  EXPECT_TRUE(wroteName);
  EXPECT_EQ(get("$.Devices[?(@.Id==1)].Streamers[0].StreamName"), "Engine S1") << get("$.Devices[0].Streamers");
  EXPECT_EQ(run("curl -s -m 5 -o /dev/null -w '%{http_code}' -u kilo:mars -d '{\"Id\":5,\"Actions\":[]}' " +
                url("/action")),
            "404");

  // A withdrawn announcement leaves the streams.
  EXPECT_TRUE(
      waitUntil([&] { return !hasStream("Stage left"); }, 5s, 100ms, [&] { announce(kStageLeftSdp, 0x1234, true); }));

  {
    testing_support::StdoutCapture capture;
    EXPECT_EQ(TVSK_Uninitialize(), 0);
    EXPECT_EQ(TVSK_Uninitialize(), 0);
    printed = capture.take();
  }
  const std::size_t vextroGone = printed.find("TVSK plug-in vextro unloaded");
  const std::size_t annwatchGone = printed.find("TVSK plug-in annwatch unloaded");
  ASSERT_NE(vextroGone, std::string::npos);
  EXPECT_GT(annwatchGone, vextroGone);  // the reverse of the load order
}

TEST_F(EngineSystem, FailingPluginsArePassedOverAndOnlyListedOnesLoad) {
  addPlugin(FAULTY_DEVICE_PLUGIN_PATH);
  addPlugin(FAULTY_DISCOVERY_PLUGIN_PATH);
  addPlugin(VEXTRO_PLUGIN_PATH);
  addPlugin(ANNWATCH_PLUGIN_PATH);
  addSimulatedDevice();
  ScopedEnv only("TVSK_PLUGINS", "engine_faulty_device,engine_faulty_discovery.so:vextro,missing_one");
  // Captured for the whole test: the host worker probes the device after start() returned.
  testing_support::StdoutCapture capture;
  start(1);
  // The throwing probe passes the device on to vextro; the throwing start unloads its plug-in.
  ASSERT_TRUE(waitUntil([&] { return get("$.Devices[0].Identity.Name") == "Sim"; }, 5s));
  EXPECT_EQ(get("$.Config.Plugins"),
            Json::parse(
                R"([{"Name":"engine_faulty_device","Major":9,"Minor":9},{"Name":"vextro","Major":1,"Minor":4}])"));
  std::string printed;
  EXPECT_TRUE(waitUntil(
      [&] {
        printed += capture.take();
        return printed.find("TVSK engine_faulty_device probe threw: probe exploded") != std::string::npos;
      },
      5s))
      << printed;
  TVSK_Uninitialize();
  printed += capture.take();
  EXPECT_NE(printed.find("TVSK engine_faulty_discovery start threw: start exploded"), std::string::npos) << printed;
  EXPECT_NE(printed.find("annwatch.so: not among the plug-ins to load"), std::string::npos) << printed;
  EXPECT_NE(printed.find("TVSK plug-in missing_one is to be loaded but was found in no plug-in folder"),
            std::string::npos)
      << printed;
}

TEST_F(EngineSystem, FiltersSetOverHttpReachTheDiscoveryPluginsAddressSet) {
  addPlugin(ANNWATCH_PLUGIN_PATH);
  start(1);
  const auto setFilters = [&](const std::string& body) {
    return run("curl -s -m 5 -u kilo:mars -d " + shellWord(body) + " " + url("/set_interface_filters"));
  };
  // Announcements from a filtered address are not reported.
  EXPECT_EQ(setFilters(R"([{"Ip":"127.0.0.1","Mask":"255.0.0.0"}])"), R"({"Result":"OK"})");
  EXPECT_EQ(get("$.Config.InterfaceFilters"), Json::parse(R"([{"Ip":"127.0.0.1","Mask":"255.0.0.0"}])"));
  for (int i = 0; i < 5; ++i) {
    announce(kStageLeftSdp, 0x1234);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(hasStream("Stage left"));
  EXPECT_EQ(setFilters("[]"), R"({"Result":"OK"})");
  EXPECT_TRUE(waitUntil([&] { return hasStream("Stage left"); }, 5s, 100ms, [&] { announce(kStageLeftSdp, 0x1235); }));
  EXPECT_EQ(setFilters(R"([{"Ip":"127.0.0.1"}])").find("Error"), 2u);
}

TEST_F(EngineSystem, AdvertisesByDnsSdWithTheMasterEntryOnlyForAMasterAndWithdrawsOnStop) {
  start(3);
  std::optional<std::string> txt;
  EXPECT_TRUE(waitUntil([&] { return (txt = advertisedTxt(serviceName_)).has_value(); }, 8s));
  EXPECT_EQ(txt.value_or("none"), "\"master:1\"");
  TVSK_Uninitialize();
  EXPECT_TRUE(waitUntil([&] { return !advertisedTxt(serviceName_).has_value(); }, 8s));

  start(1);
  EXPECT_TRUE(waitUntil([&] { return (txt = advertisedTxt(serviceName_)).has_value(); }, 8s));
  EXPECT_EQ(txt.value_or("none"), "");
  TVSK_Uninitialize();
  EXPECT_TRUE(waitUntil([&] { return !advertisedTxt(serviceName_).has_value(); }, 8s));
}

TEST_F(EngineSystem, BrowserShowsTheDevicesWithTheirStatusAndStreamsWithNetworkTextAsText) {
  if (run("command -v chromium").empty()) GTEST_SKIP() << "chromium is not installed";
  addPlugin(VEXTRO_PLUGIN_PATH);
  addPlugin(ANNWATCH_PLUGIN_PATH);
  // The simulated device, and one nothing listens for.
  const uint16_t closedPort = [] {
    vextro_sim::SimDevice gone;
    return gone.port();
  }();
  const Json devices = Json::array({{{"Origin", "test"},
                                     {"Type", "Vextro CANTOR"},
                                     {"Subtypes", Json::array()},
                                     {"Ip", device_.address()},
                                     {"Port", device_.port()}},
                                    {{"Origin", "test"},
                                     {"Type", "Vextro CANTOR"},
                                     {"Subtypes", Json::array()},
                                     {"Ip", "127.0.0.1"},
                                     {"Port", closedPort}}});
  testing_support::writeFile(root_.path() + "/devices.json", devices.dump());
  device_.setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_1_STREAM_NAME", "Console Mix");
  device_.setConfig("CONFIG_PARAM_AUDIO_SERVER_STREAM_1_ENABLE", "1");
  start(3);
  ASSERT_TRUE(waitUntil([&] { return hasStream("Stage left") && hasStream("<script>document.title='owned'</script>"); },
                        5s, 100ms,
                        [&] {
                          announce(kStageLeftSdp, 0x1234);
                          announce(kScriptSdp, 0x4321);
                        }));
  ASSERT_TRUE(waitUntil([&] { return get("$.Devices[0].Identity.Name") == "Sim"; }, 5s));
  Json unreachable;
  ASSERT_TRUE(waitUntil([&] { return (unreachable = get("$.Devices[1].Status.Errors.Network")).is_string(); }, 5s));

  const std::string chromium = "chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + root_.path() +
                               "/chromium --window-size=1280,800 ";
  const std::string dom = run("timeout 60 " + chromium + "--dump-dom " + url() + " 2>/dev/null");
  EXPECT_NE(dom.find("<title>TaviskEngine</title>"), std::string::npos) << dom;  // the script never ran
  EXPECT_NE(dom.find("<strong>Sim</strong>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<span class=\"state ok\">OK</span>"), std::string::npos) << dom;
  // The unreachable device says why, as the plug-in put it.
  EXPECT_NE(dom.find("<span class=\"state error\">ERROR</span><ul class=\"errors\"><li>Network: " +
                     unreachable.get<std::string>() + "</li></ul>"),
            std::string::npos)
      << dom;
  EXPECT_NE(unreachable.get<std::string>().find("Error: "), std::string::npos) << unreachable;
  EXPECT_NE(dom.find("127.0.0.1"), std::string::npos);
  EXPECT_NE(dom.find("Console Mix"), std::string::npos);
  EXPECT_NE(dom.find("<td>Stage left</td>"), std::string::npos);
  EXPECT_NE(dom.find("239.69.1.2:5004"), std::string::npos);
  EXPECT_NE(dom.find("<td>&lt;script&gt;document.title='owned'&lt;/script&gt;</td>"), std::string::npos) << dom;

  const std::string screenshot = std::string(ENGINE_SCREENSHOT_DIR) + "/engine_status_page.png";
  std::filesystem::remove(screenshot);
  run("timeout 60 " + chromium + "--screenshot=" + screenshot + " " + url() + " 2>/dev/null");
  EXPECT_GT(std::filesystem::exists(screenshot) ? std::filesystem::file_size(screenshot) : 0u, 10000u);
}

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsOf(Clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

Json deviceEntry(const vextro_sim::SimDevice& device) {
  return {{"Origin", "test"},
          {"Type", "Vextro CANTOR"},
          {"Subtypes", Json::array()},
          {"Ip", device.address()},
          {"Port", device.port()}};
}

std::string createStreamerBody(int deviceId) {
  return R"({"Id":)" + std::to_string(deviceId) +
         R"(,"Actions":[{"Path":"Actions.CreateStreamer","Data":{"StreamName":"Late",)"
         R"("Mapping":[{"IOGroupId":0,"InputId":0}]}}]})";
}

// Joins its threads however the test ends, so a failed assertion never leaves one running.
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;
  ~ThreadGroup() { join(); }

  template <typename Body>
  void spawn(Body&& body) {
    threads_.emplace_back(std::forward<Body>(body));
  }
  void join() {
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::vector<std::thread> threads_;
};

vextro_sim::PageFault neverAnswers() {
  vextro_sim::PageFault fault;
  fault.hang = true;
  return fault;
}

// Bytes the process holds: the sanitizer's count of live allocations where there is one (its
// quarantine would swamp the resident set), else the resident set.
std::size_t memoryInUse() {
#ifdef ENGINE_TEST_SANITIZED
  return __sanitizer_get_current_allocated_bytes();
#else
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace

TEST_F(EngineSystem, ADeviceThatNeverAnswersHoldsUpNeitherReadersNorStreamsNorOtherDevices) {
  addPlugin(VEXTRO_PLUGIN_PATH);
  addPlugin(ANNWATCH_PLUGIN_PATH);
  vextro_sim::SimDevice silent;
  silent.setFault("/save.htm", neverAnswers());
  testing_support::writeFile(root_.path() + "/devices.json",
                             Json::array({deviceEntry(device_), deviceEntry(silent)}).dump());
  ScopedEnv actionTimeout("TVSK_ACTION_TIMEOUT_MS", "3000");
  start(3);
  ASSERT_TRUE(waitUntil([&] { return get("$.Devices[?(@.Id==2)].Identity.Name") == "Sim"; }, 5s));
  ASSERT_TRUE(waitUntil([&] { return get("$.Devices[?(@.Id==1)].Identity.Name") == "Sim"; }, 5s));

  // 64 clients at once on the silent device: each list it takes waits a whole request timeout.
  constexpr int kStorm = 64;
  std::mutex mutex;
  std::vector<int> statuses;
  std::vector<long long> refusalMs;
  ThreadGroup storm;
  for (int i = 0; i < kStorm; ++i) {
    // From eight other hosts, so the server's per-host share is not what refuses them.
    const std::string host = "127.0.0." + std::to_string(2 + i % 8);
    storm.spawn([&, host] {
      const auto sent = Clock::now();
      const engine_test::RawResponse response = engine_test::post(port_, "/action", createStreamerBody(2), true, host);
      std::lock_guard<std::mutex> lock(mutex);
      statuses.push_back(response.status);
      if (response.status == 503) refusalMs.push_back(millisecondsOf(Clock::now() - sent));
    });
  }
  const auto countOf = [&](int status) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::count(statuses.begin(), statuses.end(), status);
  };
  ASSERT_TRUE(silent.waitForRequests("/save.htm", 1, 5000));
  // The device's line holds 16 lists besides the running one; the rest are refused at once.
  EXPECT_TRUE(waitUntil([&] { return countOf(503) >= kStorm - 17; }, 3s)) << countOf(503) << " refused";

  // Meanwhile a reader is answered, a new stream shows and the other device acts at once.
  auto sent = Clock::now();
  const engine_test::RawResponse read = engine_test::post(port_, "/get", R"({"Path":"$.Config.Role"})");
  const long long readMs = millisecondsOf(Clock::now() - sent);
  EXPECT_EQ(read.status, 200);
  EXPECT_LT(readMs, 1000);
  sent = Clock::now();
  EXPECT_TRUE(waitUntil([&] { return hasStream("Stage left"); }, 2s, 100ms, [&] { announce(kStageLeftSdp, 0x1234); }));
  const long long streamMs = millisecondsOf(Clock::now() - sent);
  EXPECT_LT(streamMs, 2000);
  sent = Clock::now();
  const engine_test::RawResponse acted = engine_test::post(port_, "/action", createStreamerBody(1));
  const long long actionMs = millisecondsOf(Clock::now() - sent);
  EXPECT_EQ(acted.status, 200) << acted.body;
  EXPECT_EQ(acted.body, R"({"Result":0})");
  EXPECT_LT(actionMs, 1000);
  std::printf(
      "during the storm: /get answered in %lld ms, the stream shown in %lld ms, the other device's action "
      "answered in %lld ms\n",
      readMs, streamMs, actionMs);

  storm.join();
  ASSERT_EQ(statuses.size(), static_cast<std::size_t>(kStorm));
  EXPECT_EQ(countOf(503) + countOf(504) + countOf(200), kStorm);
  EXPECT_GE(countOf(504), 1);
  for (const long long ms : refusalMs) EXPECT_LT(ms, 2000) << "a refusal waited";
  // Lists whose clients had their 504 before they began never reach the device: only those begun
  // within the 3 s do (one write each), however long we wait.
  EXPECT_FALSE(silent.waitForRequests("/save.htm", 6, 4000))
      << silent.requestCount("/save.htm") << " lists reached the device";
}

TEST_F(EngineSystem, SapChurnWhileADeviceHangsKeepsMemoryBoundedAndTheStreamsRight) {
  addPlugin(VEXTRO_PLUGIN_PATH);
  addPlugin(ANNWATCH_PLUGIN_PATH);
  vextro_sim::SimDevice silent;
  silent.setFault("/save.htm", neverAnswers());
  testing_support::writeFile(root_.path() + "/devices.json", Json::array({deviceEntry(silent)}).dump());
  // The device's one action hangs for the whole churn; stopping the device ends it.
  ScopedEnv timings("VEXTRO_TIMINGS", "period=300,connect=500,request=60000");
  start(3);
  ASSERT_TRUE(waitUntil([&] { return get("$.Devices[?(@.Id==1)].Identity.Name") == "Sim"; }, 5s));
  ThreadGroup blocked;
  blocked.spawn([&] { (void)engine_test::post(port_, "/action", createStreamerBody(1)); });
  ASSERT_TRUE(silent.waitForRequests("/save.htm", 1, 5000));

  // Sessions announced and deleted over and over: every round is an "Add" and a "Remove" each.
  constexpr int kSessions = 64;
  constexpr int kRounds = 1200;
  const auto sdpOf = [](int session) {
    const std::string number = std::to_string(session);
    return "v=0\r\no=- " + number + " 1 IN IP4 127.0.0.1\r\ns=Churn " + number + "\r\nc=IN IP4 239.69.2." + number +
           "/32\r\nt=0 0\r\nm=audio 5004 RTP/AVP 98\r\na=rtpmap:98 L24/48000/2\r\n";
  };
  const std::size_t before = memoryInUse();
  {
    testing_support::StdoutCapture discard;  // the plug-in prints a line per session added or removed
    for (int round = 0; round < kRounds; ++round) {
      for (int session = 0; session < kSessions; ++session) announce(sdpOf(session), static_cast<uint16_t>(session));
      for (int session = 0; session < kSessions; ++session) {
        announce(sdpOf(session), static_cast<uint16_t>(session), true);
      }
      std::this_thread::sleep_for(1ms);  // about what the plug-in takes in, so the churn is not dropped by the socket
    }
    // Announced after the churn, so it shows once the churn has gone through.
    EXPECT_TRUE(
        waitUntil([&] { return hasStream("Stage left"); }, 20s, 200ms, [&] { announce(kStageLeftSdp, 0x1234); }));
    (void)discard.take();
  }
  const std::size_t after = memoryInUse();
  const long long grownKiB = (static_cast<long long>(after) - static_cast<long long>(before)) / 1024;
  std::printf("memory in use: %zu KiB before the churn, %zu KiB after (%lld KiB grown)\n", before / 1024, after / 1024,
              grownKiB);
  EXPECT_LT(grownKiB, 16 * 1024) << "while the device's action hangs";
  // Deletions the socket dropped at the end of the churn are sent again: each churned stream goes.
  const auto onlyStageLeft = [&] {
    const Json streams = get("$.Streams");
    return streams.is_array() && streams.size() == 1 && streams[0].value("Name", "") == "Stage left";
  };
  EXPECT_TRUE(waitUntil(onlyStageLeft, 10s, 200ms, [&] {
    for (int session = 0; session < kSessions; ++session) {
      announce(sdpOf(session), static_cast<uint16_t>(session), true);
    }
  })) << get("$.Streams").dump().substr(0, 500);
  EXPECT_EQ(silent.requestCount("/save.htm"), 1u);
  silent.stop();
  blocked.join();
}
