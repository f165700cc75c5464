// The engine's DNS-SD advertisement across a restart of avahi-daemon. The test stops and starts
// the daemon, so it runs in a namespace of its own (see CMakeLists.txt), never beside the other
// avahi tests.
#include "TaviskEngine.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/avahi_daemon.h"
#include "testing/temp_dir.h"
#include "testing/wait_until.h"

using testing_support::ScopedEnv;
using testing_support::TempDir;
using namespace std::chrono_literals;

namespace {

// The TXT field avahi-browse, a separate client of the daemon, shows for the resolved instance.
std::optional<std::string> advertisedTxt(const std::string& name) {
  std::optional<std::string> txt;
  for (const std::string& line : testing_support::avahiBrowseResolved("_ravenna._sub._http._tcp")) {
    if (line.find(";" + name + ";") != std::string::npos) txt = line.substr(line.rfind(';') + 1);
  }
  return txt;
}

class EngineAvahiRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("LUMORA_TEST_NAMESPACE") == nullptr) {
      GTEST_SKIP() << "restarts avahi-daemon: runs only inside a test namespace of its own";
    }
    ASSERT_TRUE(testing_support::avahiDaemonRunning());
  }
  void TearDown() override {
    TVSK_Uninitialize();
    if (!testing_support::avahiDaemonRunning()) {
      ASSERT_TRUE(testing_support::startAvahiDaemon(LUMORA_AVAHI_CONFIG));
    }
  }

  TempDir root_;
  std::string name_ = "_lumora_restart_" + std::to_string(getpid());
  std::vector<std::unique_ptr<ScopedEnv>> env_ = [this] {
    std::vector<std::unique_ptr<ScopedEnv>> env;
    env.push_back(std::make_unique<ScopedEnv>("TVSK_SERVICE_NAME", name_));
    env.push_back(std::make_unique<ScopedEnv>("TVSK_PLUGIN_DIRS", root_.path()));
    env.push_back(std::make_unique<ScopedEnv>("TVSK_HTTP_PORT", std::nullopt));
    env.push_back(std::make_unique<ScopedEnv>("TVSK_DEVICES_FILE", std::nullopt));
    return env;
  }();
};

TEST_F(EngineAvahiRestart, TheAdvertisementComesBackUnderItsNameAfterTheDaemonRestarts) {
  ASSERT_EQ(TVSK_Initialize(-1, 0, 3), 0);
  std::optional<std::string> txt;
  ASSERT_TRUE(testing_support::waitUntil([&] { return (txt = advertisedTxt(name_)).has_value(); }, 10s, 200ms));
  EXPECT_EQ(txt.value_or("none"), "\"master:1\"");

  // Down long enough for at least one refused attempt, then back.
  ASSERT_TRUE(testing_support::stopAvahiDaemon());
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(testing_support::startAvahiDaemon(LUMORA_AVAHI_CONFIG));
  const auto back = std::chrono::steady_clock::now();
  EXPECT_TRUE(testing_support::waitUntil([&] { return (txt = advertisedTxt(name_)).has_value(); }, 20s, 200ms));
  EXPECT_EQ(txt.value_or("none"), "\"master:1\"");
  std::printf(
      "advertised again %lld ms after the daemon was back\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - back).count()));
}

}  // namespace
