// The entry table end to end: vextro.so loaded with dlopen, as the engine loads it, against a
// simulated device.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "plugins/vextro/tests/TestSupport.h"
#include "testing/temp_dir.h"
#include "testing/vextro_sim/sim_device.h"
#include "tvsk/DevicePluginEntries.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using vextro_test::waitUntil;

struct Inbox {
  std::mutex mutex;
  std::vector<std::string> texts;
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts.size();
  }
};

void Deliver(void* ctx, const char* message) {
  auto* inbox = static_cast<Inbox*>(ctx);
  std::lock_guard<std::mutex> lock(inbox->mutex);
  inbox->texts.emplace_back(message);
}

class VextroEntries : public ::testing::Test {
 public:  // the callbacks below call the entries too
  VextroEntries() {
    library = dlopen(VEXTRO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw std::runtime_error(dlerror());
    auto* getById = reinterpret_cast<TVSK_Get_By_Id_Fn>(dlsym(library, TVSK_DEVICE_EXPORT_NAME));
    if (getById == nullptr) throw std::runtime_error(TVSK_DEVICE_EXPORT_NAME " missing");
    for (uint32_t id = 0; id < 14; ++id) entries.push_back(getById(id));
  }
  ~VextroEntries() override { dlclose(library); }

  template <int Id>
  typename tvsk::DeviceEntry<Id>::type entry() const {
    return reinterpret_cast<typename tvsk::DeviceEntry<Id>::type>(entries.at(Id));
  }

  std::string InitJson(const std::string& type = "Vextro CANTOR") const {
    return R"({"Origin":"mdns","Type":")" + type + R"(","Subtypes":[],"Ip":"127.0.0.1","Port":)" +
           std::to_string(device.port()) + "}";
  }

  std::string LogText(const std::string& name) const {
    return testing_support::readFile(appData.path() + "/Vextro Technologies/" + name);
  }

  testing_support::TempDir appData;
  testing_support::ScopedEnv appDataEnv{"APPDATA", appData.path()};
  // Read once when the library loads, so it is set before dlopen.
  testing_support::ScopedEnv timingsEnv{"VEXTRO_TIMINGS", std::string("period=100,connect=500,request=800")};
  vextro_sim::SimDevice device;
  void* library = nullptr;
  std::vector<void*> entries;
};

TEST_F(VextroEntries, TableInfoAndPluginId) {
  for (uint32_t id = 0; id < 13; ++id) EXPECT_NE(entries[id], nullptr) << id;
  EXPECT_EQ(entries[13], nullptr);
  EXPECT_EQ(entry<TVSK_DEVICE_ENTRY_11>()(), 10);
  char* info = nullptr;
  EXPECT_EQ(entry<TVSK_DEVICE_GET_INFO>()(&info), 0);
  ASSERT_NE(info, nullptr);
  EXPECT_STREQ(info, R"({"ApiVersion":"0.10.0","Description":"Proxy for many Ravenna interfaces",)"
                     R"("Manufacturer":"Vextro Technologies","Version":"1.4.0"})");
  EXPECT_EQ(entry<TVSK_DEVICE_FREE_BUFFER>()(info), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_GET_INFO>()(nullptr), 0);
  uint32_t major = 0;
  uint32_t minor = 0;
  char* name = nullptr;
  EXPECT_EQ(entry<TVSK_DEVICE_GET_PLUGIN_ID>()(&major, &minor, &name), 0);
  EXPECT_EQ(major, 1U);
  EXPECT_EQ(minor, 4U);
  EXPECT_STREQ(name, "vextro");
  entry<TVSK_DEVICE_FREE_BUFFER>()(name);
  EXPECT_EQ(entry<TVSK_DEVICE_GET_PLUGIN_ID>()(nullptr, nullptr, nullptr), 0);
  const std::string log = LogText("Vextro_uninit.log");
  EXPECT_NE(log.find(":\tEngine requests plugin factory info:\n"), std::string::npos);
  EXPECT_NE(log.find(":\t => {\"ApiVersion\""), std::string::npos);
}

TEST_F(VextroEntries, ProbeAndCreateChecks) {
  EXPECT_EQ(entry<TVSK_DEVICE_INITIALIZE>()(), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_PROBE>()(nullptr), -1);
  EXPECT_NE(LogText("Vextro_uninit.log").find("ERROR: Invalid initialization JSON"), std::string::npos);
  EXPECT_EQ(entry<TVSK_DEVICE_PROBE>()(InitJson("Vextro Cantor").c_str()), -1);
  const std::string uninit = LogText("Vextro_uninit.log");
  const auto parseError = uninit.find("ERROR: parsing initialization JSON failed: No matching configuration found");
  ASSERT_NE(parseError, std::string::npos);
  EXPECT_NE(uninit.find("Neglected device JSON", parseError), std::string::npos);
  EXPECT_EQ(entry<TVSK_DEVICE_PROBE>()(InitJson().c_str()), 0);
  EXPECT_NE(LogText("vextro").find("Accepted device JSON"), std::string::npos);
  void* proxy = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(entry<TVSK_DEVICE_CREATE>()(1, nullptr, &proxy), -1);
  EXPECT_EQ(entry<TVSK_DEVICE_CREATE>()(1, "{}", &proxy), -1);
  EXPECT_EQ(entry<TVSK_DEVICE_CREATE>()(1, InitJson().c_str(), nullptr), -1);
  EXPECT_EQ(proxy, reinterpret_cast<void*>(0x1));
  const std::string log = LogText("vextro");
  EXPECT_NE(log.find("ERROR: invalid init JSON"), std::string::npos);
  EXPECT_NE(log.find("ERROR: Invalid proxy passed to RavennaDeviceFactory_Create"), std::string::npos);
  EXPECT_EQ(entry<TVSK_DEVICE_DELETE>()(nullptr), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_UNINITIALIZE>()(), 0);
  std::set<std::string> files;
  for (const auto& item : std::filesystem::directory_iterator(appData.path() + "/Vextro Technologies")) {
    files.insert(item.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"Vextro_uninit.log", "vextro"}));
}

TEST_F(VextroEntries, NullProxiesAreRefused) {
  char* buffer = reinterpret_cast<char*>(0x1);
  uint32_t length = 99;
  EXPECT_EQ(entry<TVSK_DEVICE_GET>()(nullptr, "x", &buffer, &length), -1);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0U);
  EXPECT_EQ(entry<TVSK_DEVICE_ACTION>()(nullptr, "[]"), -1);
  EXPECT_EQ(entry<TVSK_DEVICE_REGISTER_CALLBACK>()(nullptr, Deliver, nullptr), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_UNREGISTER_CALLBACK>()(12345), -1);
  const std::string log = LogText("Vextro_uninit.log");
  EXPECT_NE(log.find("ERROR: Invalid proxy passed to RavennaDeviceProxy_Get"), std::string::npos);
  EXPECT_NE(log.find("ERROR: Invalid proxy passed to RavennaDeviceProxy_Action"), std::string::npos);
  EXPECT_NE(log.find("ERROR: Invalid proxy passed to RavennaDeviceProxy_RegisterCallback"), std::string::npos);
  EXPECT_NE(log.find("ERROR: Engine unregisters unknown callback token: 12345"), std::string::npos);
}

TEST_F(VextroEntries, DeviceStringsReachTheEngineAsValidUtf8) {
  device.setConfig("CONFIG_PARAM_DEVICE_DEVICE_NAME", "Sim\xE9");
  void* proxy = nullptr;
  ASSERT_EQ(entry<TVSK_DEVICE_CREATE>()(1, InitJson().c_str(), &proxy), 0);
  char* buffer = nullptr;
  ASSERT_EQ(entry<TVSK_DEVICE_GET>()(proxy, "", &buffer, nullptr), 0);
  ASSERT_TRUE(Json::accept(buffer));
  EXPECT_EQ(Json::parse(buffer)["Identity"]["Name"], "Sim\xEF\xBF\xBD");
  entry<TVSK_DEVICE_FREE_BUFFER>()(buffer);
  EXPECT_EQ(entry<TVSK_DEVICE_DELETE>()(proxy), 0);
}

TEST_F(VextroEntries, ProxyLifecycleWithCallbacks) {
  ASSERT_EQ(entry<TVSK_DEVICE_INITIALIZE>()(), 0);
  void* proxy = nullptr;
  ASSERT_EQ(entry<TVSK_DEVICE_CREATE>()(7, InitJson().c_str(), &proxy), 0);
  ASSERT_NE(proxy, nullptr);
  char* buffer = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(entry<TVSK_DEVICE_GET>()(proxy, "anything", &buffer, &length), 0);
  ASSERT_NE(buffer, nullptr);
  const std::string state(buffer);
  entry<TVSK_DEVICE_FREE_BUFFER>()(buffer);
  EXPECT_EQ(length, state.size());
  const Json parsed = Json::parse(state);
  EXPECT_EQ(parsed["Id"], 7);
  EXPECT_EQ(parsed["Identity"]["Name"], "Sim");
  ASSERT_EQ(entry<TVSK_DEVICE_GET>()(proxy, "", &buffer, nullptr), 0);
  EXPECT_EQ(std::string(buffer), state);
  entry<TVSK_DEVICE_FREE_BUFFER>()(buffer);
  // A null request text is refused like any other null text argument, outputs nulled.
  length = 99;
  EXPECT_EQ(entry<TVSK_DEVICE_GET>()(proxy, nullptr, &buffer, &length), -1);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0U);

  Inbox inbox;
  EXPECT_EQ(entry<TVSK_DEVICE_REGISTER_CALLBACK>()(proxy, Deliver, &inbox), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_REGISTER_CALLBACK>()(proxy, Deliver, &inbox), 1);
  EXPECT_EQ(entry<TVSK_DEVICE_REGISTER_CALLBACK>()(proxy, nullptr, &inbox), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_UNREGISTER_CALLBACK>()(1), 0);
  device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", "1");
  ASSERT_TRUE(waitUntil([&] { return inbox.size() >= 1; }));
  EXPECT_EQ(Json::parse(inbox.texts[0])[0]["Path"], "$.Devices[?(@.Id==7)].Receivers[?(@.Id==2)]");
  EXPECT_EQ(entry<TVSK_DEVICE_ACTION>()(proxy, "abc"), -1);
  EXPECT_EQ(entry<TVSK_DEVICE_ACTION>()(proxy, "[]"), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_ACTION>()(proxy, nullptr), -1);

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(entry<TVSK_DEVICE_DELETE>()(proxy), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1000ms);
  EXPECT_EQ(entry<TVSK_DEVICE_UNREGISTER_CALLBACK>()(0), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_UNREGISTER_CALLBACK>()(0), -1);
  EXPECT_EQ(entry<TVSK_DEVICE_UNINITIALIZE>()(), 0);
  // The first line comes before the init JSON reopens the log under its own name.
  EXPECT_NE(LogText("Vextro_uninit.log").find("Creating device proxy with ID: 7..."), std::string::npos);
  const std::string log = LogText("vextro");
  for (const char* line :
       {"Creating new proxy for device at 127.0.0.1:", "Engine requests data 'anything' for device proxy with ID: 7...",
        "ERROR: Invalid data request passed to RavennaDeviceProxy_Get",
        "Engine registers callback token: 0 for device with ID: 7...",
        "Engine requests action '[]' for device proxy with ID: 7...",
        "Error: failed to parse actionList JSON: [json.exception.parse_error", "Deleting device proxy with ID: 7...",
        "Engine unregisters callback token: 0 for device with ID: 7...", "Plugin Factory uninitialized"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

// What a misbehaving engine callback tried from inside a change callback, and what it got.
struct ReentrantCalls {
  const VextroEntries* test = nullptr;
  void* proxy = nullptr;
  void* other = nullptr;
  std::mutex mutex;
  int calls = 0;
  std::vector<int64_t> results;  // Get, Action, Create, Delete (same proxy), Get of the other proxy
};

void CallBackIntoThePlugin(void* ctx, const char*) {
  auto* calls = static_cast<ReentrantCalls*>(ctx);
  const VextroEntries& t = *calls->test;
  char* buffer = reinterpret_cast<char*>(0x1);
  std::vector<int64_t> results;
  results.push_back(t.entry<TVSK_DEVICE_GET>()(calls->proxy, "", &buffer, nullptr));
  results.push_back(buffer == nullptr ? 1 : 0);
  results.push_back(t.entry<TVSK_DEVICE_ACTION>()(calls->proxy, "[]"));
  void* created = reinterpret_cast<void*>(0x2);
  results.push_back(t.entry<TVSK_DEVICE_CREATE>()(9, t.InitJson().c_str(), &created));
  results.push_back(created == reinterpret_cast<void*>(0x2) ? 1 : 0);
  results.push_back(t.entry<TVSK_DEVICE_DELETE>()(calls->proxy));
  results.push_back(t.entry<TVSK_DEVICE_DELETE>()(calls->other));
  char* otherState = nullptr;
  results.push_back(t.entry<TVSK_DEVICE_GET>()(calls->other, "", &otherState, nullptr));
  t.entry<TVSK_DEVICE_FREE_BUFFER>()(otherState);
  std::lock_guard<std::mutex> lock(calls->mutex);
  ++calls->calls;
  calls->results = results;
}

TEST_F(VextroEntries, CallsBackIntoThePluginFromAChangeCallbackAreRefused) {
  void* proxy = nullptr;
  void* other = nullptr;
  ASSERT_EQ(entry<TVSK_DEVICE_CREATE>()(7, InitJson().c_str(), &proxy), 0);
  ASSERT_EQ(entry<TVSK_DEVICE_CREATE>()(8, InitJson().c_str(), &other), 0);
  ReentrantCalls calls;
  calls.test = this;
  calls.proxy = proxy;
  calls.other = other;
  const int64_t token = entry<TVSK_DEVICE_REGISTER_CALLBACK>()(proxy, CallBackIntoThePlugin, &calls);
  const std::vector<int64_t> refused = {-1, 1, -1, -1, 1, -1, -1, -1};
  const auto callCount = [&] {
    std::lock_guard<std::mutex> lock(calls.mutex);
    return calls.calls;
  };

  // From the refresh thread, which holds both locks.
  device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", "1");
  ASSERT_TRUE(waitUntil([&] { return callCount() >= 1; }));
  {
    std::lock_guard<std::mutex> lock(calls.mutex);
    EXPECT_EQ(calls.results, refused);
  }
  // From the engine's own thread, inside Action.
  const int before = callCount();
  EXPECT_EQ(entry<TVSK_DEVICE_ACTION>()(proxy,
                                        R"([{"Path":"Actions.CreateStreamer",)"
                                        R"("Data":{"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":0}]}}])"),
            0);
  EXPECT_EQ(callCount(), before + 1);
  {
    std::lock_guard<std::mutex> lock(calls.mutex);
    EXPECT_EQ(calls.results, refused);
  }
  const std::string log = LogText("vextro");
  for (const char* line : {"ERROR: RavennaDeviceProxy_Get called from inside a change callback; refused",
                           "ERROR: RavennaDeviceProxy_Action called from inside a change callback; refused",
                           "ERROR: RavennaDeviceFactory_Create called from inside a change callback; refused",
                           "ERROR: RavennaDeviceFactory_Delete called from inside a change callback; refused"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  // Outside a callback the same calls work.
  EXPECT_EQ(entry<TVSK_DEVICE_UNREGISTER_CALLBACK>()(token), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_ACTION>()(proxy, "[]"), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_DELETE>()(other), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_DELETE>()(proxy), 0);
}

// A callback of each of two proxies that reads the other one's state through the entries.
struct CrossReader {
  const VextroEntries* test = nullptr;
  void* other = nullptr;
  std::atomic<int> calls{0};
  std::atomic<int> granted{0};
};

void ReadTheOtherProxy(void* ctx, const char*) {
  auto* reader = static_cast<CrossReader*>(ctx);
  char* state = nullptr;
  if (reader->test->entry<TVSK_DEVICE_GET>()(reader->other, "", &state, nullptr) == 0) ++reader->granted;
  reader->test->entry<TVSK_DEVICE_FREE_BUFFER>()(state);
  ++reader->calls;
}

// Seconds of the cross-callback run; VEXTRO_CROSS_CALLBACK_SECONDS lengthens it for a soak by hand.
int CrossCallbackSeconds() {
  const char* text = std::getenv("VEXTRO_CROSS_CALLBACK_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 3;
}

// Two engine threads act on one proxy each, and each proxy's callback reads the other proxy: each
// callback holds its own proxy's lock, so a granted read would wait for the other thread's lock
// while that thread waits for this one's. The reads are refused instead, and nothing stalls.
TEST_F(VextroEntries, CallbacksReadingEachOtherDoNotStall) {
  vextro_sim::SimDevice otherDevice;
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(entry<TVSK_DEVICE_CREATE>()(7, InitJson().c_str(), &first), 0);
  const std::string otherInit = R"({"Origin":"mdns","Type":"Vextro CANTOR","Subtypes":[],"Ip":"127.0.0.1","Port":)" +
                                std::to_string(otherDevice.port()) + "}";
  ASSERT_EQ(entry<TVSK_DEVICE_CREATE>()(8, otherInit.c_str(), &second), 0);
  CrossReader readsSecond;
  readsSecond.test = this;
  readsSecond.other = second;
  CrossReader readsFirst;
  readsFirst.test = this;
  readsFirst.other = first;
  const int64_t firstToken = entry<TVSK_DEVICE_REGISTER_CALLBACK>()(first, ReadTheOtherProxy, &readsSecond);
  const int64_t secondToken = entry<TVSK_DEVICE_REGISTER_CALLBACK>()(second, ReadTheOtherProxy, &readsFirst);

  const auto runFor = std::chrono::seconds(CrossCallbackSeconds());
  std::atomic<bool> stop{false};
  std::atomic<long> progress{0};
  std::atomic<std::size_t> finished{0};
  std::vector<std::thread> engineThreads;
  for (void* proxy : {first, second}) {
    engineThreads.emplace_back([&, proxy] {
      const char* const lists[] = {
          R"([{"Path":"Actions.CreateStreamer","Data":{"StreamName":"S","Mapping":[{"IOGroupId":0,"InputId":0}]}}])",
          R"([{"Path":"Actions.DeleteStreamer","Data":{"Id":0}}])"};
      for (std::size_t n = 0; !stop; ++n) {
        EXPECT_EQ(entry<TVSK_DEVICE_ACTION>()(proxy, lists[n % 2]), 0);
        ++progress;
      }
      ++finished;
    });
  }
  // The devices change too, so the refresh threads fire callbacks as well.
  engineThreads.emplace_back([&] {
    for (std::size_t n = 0; !stop; ++n) {
      const std::string enable = n % 2 == 0 ? "1" : "0";
      device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", enable);
      otherDevice.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", enable);
      std::this_thread::sleep_for(50ms);
    }
    ++finished;
  });
  // A stall cannot be joined: report it and end the process, so the suite fails instead of hanging.
  const auto started = std::chrono::steady_clock::now();
  long seen = -1;
  auto lastProgress = started;
  while (finished < engineThreads.size()) {
    std::this_thread::sleep_for(100ms);
    const auto now = std::chrono::steady_clock::now();
    if (now - started >= runFor) stop = true;
    if (progress.load() != seen) {
      seen = progress.load();
      lastProgress = now;
    } else if (now - lastProgress > 3s) {
      std::fprintf(stderr, "STALL: no action returned for 3 s after %ld actions\n", seen);
      std::_Exit(1);
    }
  }
  for (auto& thread : engineThreads) thread.join();
  std::printf("%ld actions in %d s, %d + %d callbacks\n", progress.load(), CrossCallbackSeconds(),
              readsSecond.calls.load(), readsFirst.calls.load());

  EXPECT_GT(readsSecond.calls.load(), 0);
  EXPECT_GT(readsFirst.calls.load(), 0);
  EXPECT_EQ(readsSecond.granted.load() + readsFirst.granted.load(), 0);
  EXPECT_NE(LogText("vextro").find("ERROR: RavennaDeviceProxy_Get called from inside a change callback; refused"),
            std::string::npos);
  EXPECT_EQ(entry<TVSK_DEVICE_UNREGISTER_CALLBACK>()(firstToken), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_UNREGISTER_CALLBACK>()(secondToken), 0);
  // Outside a callback each proxy reads the other as before.
  char* state = nullptr;
  EXPECT_EQ(entry<TVSK_DEVICE_GET>()(second, "", &state, nullptr), 0);
  entry<TVSK_DEVICE_FREE_BUFFER>()(state);
  EXPECT_EQ(entry<TVSK_DEVICE_DELETE>()(second), 0);
  EXPECT_EQ(entry<TVSK_DEVICE_DELETE>()(first), 0);
}

}  // namespace
