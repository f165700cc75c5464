#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "agent/tests/ProgramRun.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ProgramRun;
using testing_support::TempDir;

// The engine server child at its real pace: it checks its agent every 10 s.
TEST(ProgramSlow, EngineServerStopsWithinElevenSecondsOfItsAgentsEnd) {
  TempDir root;
  for (const char* folder : {"appdata", "programdata", "tmp"}) {
    std::filesystem::create_directories(root.path() + "/" + folder);
  }
  ProgramRun agentStandIn("/bin/sleep", {"60"}, {}, root.path() + "/sleep");
  ProgramRun server(LUMORA_PROGRAM, {"--server", "1", "--apid", std::to_string(agentStandIn.pid())},
                    {{"APPDATA", root.path() + "/appdata"},
                     {"PROGRAMDATA", root.path() + "/programdata"},
                     {"TMPDIR", root.path() + "/tmp"},
                     {"LUMORA_APID_POLL_MS", std::nullopt},
                     {"TVSK_HTTP_PORT", std::string("0")},
                     {"TVSK_SERVICE_NAME", "_lumoraSlow" + std::to_string(getpid())},
                     {"TVSK_PLUGIN_DIRS", root.path() + "/no-plugins"}},
                    root.path() + "/server");
  ASSERT_TRUE(server.waitForOutput("TVSK_Initialize(-1,0,1) -> 0", 5s));
  // Past its first check, still serving.
  EXPECT_FALSE(server.waitExit(11s));
  agentStandIn.signal(SIGKILL);
  agentStandIn.waitExit(2s);
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_EQ(server.waitExit(12s), 0);
  EXPECT_LE(std::chrono::steady_clock::now() - killed, 11s);
  EXPECT_NE(server.output().find("TVSK_Uninitialize() -> 0"), std::string::npos);
}

}  // namespace
