#include "TaviskEngine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "../src/Engine.h"
#include "HttpTestClient.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

using testing_support::ScopedEnv;
using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

// An engine that loads nothing from the machine's plug-in folders and stays off the network's names.
class EngineEntries : public ::testing::Test {
 protected:
  TempDir plugins_;
  ScopedEnv pluginDirs_{"TVSK_PLUGIN_DIRS", plugins_.path()};
  ScopedEnv serviceName_{"TVSK_SERVICE_NAME", "_lumoraT" + std::to_string(getpid()) + "_entries"};
  ScopedEnv port_{"TVSK_HTTP_PORT", std::nullopt};
  ScopedEnv devices_{"TVSK_DEVICES_FILE", std::nullopt};

  void TearDown() override { tvsk::Engine::instance().uninitialize(); }
};

// The lines of `text` that begin with "TVSK_" (the entries' own lines).
std::string entryLines(const std::string& text) {
  std::string lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
    if (line.rfind("TVSK_", 0) == 0) lines += line;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace

TEST_F(EngineEntries, RecordFiltersStartAndStopAndPrintEachCall) {
  StdoutCapture capture;
  EXPECT_EQ(TVSK_AddInterfaceFilter("192.168.10.4", "255.255.255.0"), 0);
  EXPECT_EQ(TVSK_AddInterfaceFilter("10.0.0.1", "255.0.0.0"), 0);
  EXPECT_EQ(TVSK_Initialize(-1, 0, 3), 0);
  EXPECT_TRUE(tvsk::Engine::instance().running());
  EXPECT_EQ(tvsk::Engine::instance().role(), 3);
  EXPECT_NE(tvsk::Engine::instance().httpPort(), 0);

  const auto filters = tvsk::Engine::instance().interfaceFilters();
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_EQ(filters[1].address, "10.0.0.1");
  EXPECT_EQ(filters[1].netmask, "255.0.0.0");
  {
    auto& shared = tvsk::Engine::instance().filteredAddresses();
    boost::lock_guard<boost::mutex> lock(shared.mutex);
    EXPECT_EQ(shared.addresses, (std::set<std::string>{"10.0.0.1", "192.168.10.4"}));
  }
  const auto document = tvsk::Engine::instance().state().snapshot();
  EXPECT_EQ(document["Config"]["Role"], 3);
  EXPECT_EQ(document["Config"]["InterfaceFilters"][0]["Ip"], "192.168.10.4");

  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_FALSE(tvsk::Engine::instance().running());
  const std::string printed = capture.take();
  EXPECT_EQ(entryLines(printed),
            "TVSK_AddInterfaceFilter(192.168.10.4,255.255.255.0) -> 0\n"
            "TVSK_AddInterfaceFilter(10.0.0.1,255.0.0.0) -> 0\n"
            "TVSK_Initialize(-1,0,3) -> 0\n"
            "TVSK_Uninitialize() -> 0\n");
  EXPECT_NE(printed.find("TVSK HTTP server listening on port "), std::string::npos) << printed;
}

TEST_F(EngineEntries, DuplicateFiltersAreStoredOnceAndUninitializeClearsThem) {
  StdoutCapture capture;
  EXPECT_EQ(TVSK_AddInterfaceFilter("10.0.0.1", "255.0.0.0"), 0);
  EXPECT_EQ(TVSK_AddInterfaceFilter("10.0.0.1", "255.0.0.0"), 0);
  EXPECT_EQ(tvsk::Engine::instance().interfaceFilters().size(), 1u);
  EXPECT_EQ(TVSK_Initialize(-1, 0, 1), 0);
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_TRUE(tvsk::Engine::instance().interfaceFilters().empty());
  auto& shared = tvsk::Engine::instance().filteredAddresses();
  boost::lock_guard<boost::mutex> lock(shared.mutex);
  EXPECT_TRUE(shared.addresses.empty());
}

TEST_F(EngineEntries, RefuseMalformedFilterTexts) {
  StdoutCapture capture;
  EXPECT_EQ(TVSK_AddInterfaceFilter(nullptr, "255.0.0.0"), -1);
  EXPECT_EQ(TVSK_AddInterfaceFilter("300.1.1.1", "255.0.0.0"), -1);
  EXPECT_EQ(TVSK_AddInterfaceFilter("10.0.0.9", "mask"), -1);
  EXPECT_EQ(capture.take(),
            "TVSK_AddInterfaceFilter((null),255.0.0.0) -> -1\n"
            "TVSK_AddInterfaceFilter(300.1.1.1,255.0.0.0) -> -1\n"
            "TVSK_AddInterfaceFilter(10.0.0.9,mask) -> -1\n");
}

TEST_F(EngineEntries, UninitializeIsSafeUnstartedAndTwice) {
  StdoutCapture capture;
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_FALSE(tvsk::Engine::instance().running());
  EXPECT_EQ(TVSK_Initialize(-1, 0, 1), 0);
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_EQ(tvsk::Engine::instance().httpPort(), 0);
}

TEST_F(EngineEntries, ForcedResultMakesInitializeFail) {
  ScopedEnv forced(tvsk::Engine::kForcedInitResultVariable, "-7");
  StdoutCapture capture;
  EXPECT_EQ(TVSK_Initialize(-1, 0, 1), -7);
  EXPECT_FALSE(tvsk::Engine::instance().running());
  EXPECT_EQ(capture.take(), "TVSK_Initialize(-1,0,1) -> -7\n");
}

TEST_F(EngineEntries, PortInUseOrUnreadableSettingsFailTheStart) {
  // Another listener holds a port on all addresses, so the engine cannot bind it.
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string taken = std::to_string(ntohs(address.sin_port));

  StdoutCapture capture;
  {
    ScopedEnv port("TVSK_HTTP_PORT", taken);
    EXPECT_EQ(TVSK_Initialize(-1, 0, 3), -1);
    EXPECT_FALSE(tvsk::Engine::instance().running());
  }
  close(holder);
  {
    ScopedEnv port("TVSK_HTTP_PORT", "80x");
    EXPECT_EQ(TVSK_Initialize(-1, 0, 3), -1);
  }
  {
    ScopedEnv name("TVSK_SERVICE_NAME", "engine_without_prefix");
    EXPECT_EQ(TVSK_Initialize(-1, 0, 3), -1);
  }
  const std::string printed = capture.take();
  EXPECT_NE(printed.find("TVSK HTTP server cannot listen on port " + taken + ": "), std::string::npos) << printed;
  EXPECT_NE(printed.find("TVSK TVSK_HTTP_PORT is not a port number: 80x\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("TVSK TVSK_SERVICE_NAME must begin \"_lumora\""), std::string::npos) << printed;
  EXPECT_EQ(entryLines(printed),
            "TVSK_Initialize(-1,0,3) -> -1\nTVSK_Initialize(-1,0,3) -> -1\nTVSK_Initialize(-1,0,3) -> -1\n");
  // A failed start leaves nothing behind: the next one runs.
  EXPECT_EQ(TVSK_Initialize(-1, 0, 3), 0);
  EXPECT_EQ(TVSK_Uninitialize(), 0);
}

TEST_F(EngineEntries, DefaultFoldersComeFromTheApplicationDataFoldersAndTheWebAppIsServed) {
  TempDir programData;
  TempDir appData;
  ScopedEnv common("PROGRAMDATA", programData.path());
  ScopedEnv user("APPDATA", appData.path());
  ScopedEnv noDirs("TVSK_PLUGIN_DIRS", std::nullopt);
  StdoutCapture capture;
  ASSERT_EQ(TVSK_Initialize(-1, 0, 1), 0);
  const uint16_t port = tvsk::Engine::instance().httpPort();
  EXPECT_EQ(tvsk::Engine::instance().state().snapshot()["Config"]["PluginDirectory"],
            tvsk::Json::array({programData.path() + "/Brixel Technologies/Lumora/Plugins",
                               appData.path() + "/Brixel Technologies/lumora/plugins"}));
  // Without an installed web application the built-in page answers; with one, its index.html.
  EXPECT_NE(engine_test::get(port, "/").body.find("<title>TaviskEngine</title>"), std::string::npos);
  std::filesystem::create_directories(programData.path() + "/Brixel Technologies/Lumora/webapp");
  testing_support::writeFile(programData.path() + "/Brixel Technologies/Lumora/webapp/index.html", "<p>web app</p>");
  const engine_test::RawResponse page = engine_test::get(port, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page.body, "<p>web app</p>");
  EXPECT_EQ(TVSK_Uninitialize(), 0);
}

TEST_F(EngineEntries, ProcessEndingWithoutUninitializeStopsTheEngineCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TVSK_Initialize(-1, 0, 3);
        std::exit(TVSK_AddInterfaceFilter("10.1.1.1", "255.0.0.0") == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
