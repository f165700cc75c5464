#include "agent/src/Config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/tests/ConfigFixture.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using config_testing::ConfigTest;
using config_testing::defaultNames;
using config_testing::pluginNames;
using lmr::Config;
using lmr::PluginEntry;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using testing_support::writeFile;

TEST_F(ConfigTest, LoadBuildsTheFolderTreeAndWritesNoFile) {
  config.load();
  for (const char* sub : {"plugins", "storage", "pictures", "logs", "connections", "debug"}) {
    EXPECT_TRUE(lmr::pathExists(base() + "/" + sub)) << sub;
  }
  EXPECT_EQ(config.baseFolder(), base());
  EXPECT_EQ(config.picturesFolder(), base() + "/pictures");
  EXPECT_EQ(config.configPath(), configFile());
  EXPECT_FALSE(fs::exists(configFile()));
  EXPECT_EQ(config.pluginFolders(), (std::vector<std::string>{machinePlugins(), base() + "/plugins"}));
  EXPECT_EQ(config.webAppFolder(), "");

  // The machine-wide web application is taken only when its folder exists.
  fs::create_directories(machineData.path() + "/Brixel Technologies/Lumora/webapp");
  config.load();
  EXPECT_EQ(config.webAppFolder(), machineData.path() + "/Brixel Technologies/Lumora/webapp");
}

TEST_F(ConfigTest, FallsBackToXdgConfigHomeAndCreatesIt) {
  ScopedEnv noAppData("APPDATA", std::nullopt);
  ScopedEnv xdg("XDG_CONFIG_HOME", userData.path() + "/fresh/config");
  config.load();
  EXPECT_EQ(config.baseFolder(), userData.path() + "/fresh/config/Brixel Technologies/lumora");
  EXPECT_TRUE(lmr::pathExists(config.baseFolder() + "/logs"));
  EXPECT_FALSE(lmr::pathExists(config.configPath()));  // a file path is not a folder
}

TEST_F(ConfigTest, MissingOrUnusableFilesGiveTheDefaultTableWithoutSaving) {
  for (const char* contents : {"", "[]", "{", "\"text\"", "{\"plugins\":\"none\"}", "{\"plugins\":{}}"}) {
    SCOPED_TRACE(contents);
    StdoutCapture capture;
    loadWith(contents);
    EXPECT_EQ(pluginNames(config), defaultNames());
    EXPECT_EQ(readFile(configFile()), contents);
    EXPECT_EQ(capture.take(), "");  // the fallback is silent
  }
  const lmr::Value* brixel = config.findPlugin("relay_brixel.so");
  ASSERT_NE(brixel, nullptr);
  EXPECT_STREQ((*brixel)["descr"].GetString(),
               "Brixel generic proxy (Brixel Pavlix, Quarvel MkI, Nimbrel, Tundrix, Drennic, Fostrel and more");
  EXPECT_FALSE((*config.findPlugin("annwatch.so"))["enabled"].GetBool());
  EXPECT_FALSE((*config.findPlugin("vextro.so"))["enabled"].GetBool());
  EXPECT_TRUE((*config.findPlugin("svcwatch.so"))["enabled"].GetBool());
  EXPECT_EQ(config.findPlugin("svcwatch.dll"), nullptr);
  EXPECT_EQ(config.findPlugin("SVCWATCH.so"), nullptr);
}

TEST_F(ConfigTest, ADeeplyNestedFileIsRefusedLikeABrokenOne) {
  const auto nested = [](size_t arrays) {
    return R"({"plugins":[],"deep":)" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
  };
  // The root object and 127 arrays are the deepest file still taken, and it saves back.
  loadWith(nested(lmr::kMaxJsonDepth - 1));
  EXPECT_TRUE((*config.document())["plugins"].Empty());
  ASSERT_TRUE(config.save());
  EXPECT_EQ(readFile(configFile()), nested(lmr::kMaxJsonDepth - 1));

  // Far deeper nesting would overflow the stack while parsing or saving.
  for (size_t arrays : {size_t{lmr::kMaxJsonDepth}, size_t{200000}}) {
    loadWith(nested(arrays));
    EXPECT_EQ(pluginNames(config), defaultNames()) << arrays;
    EXPECT_EQ(config.find({"deep"}), nullptr) << arrays;
  }
}

TEST_F(ConfigTest, AnEmptyPluginTableStaysEmpty) {
  loadWith(R"({"plugins":[],"mode":2})");
  EXPECT_TRUE((*config.document())["plugins"].Empty());
  EXPECT_EQ(config.findPlugin("vextro.so"), nullptr);
  EXPECT_EQ(config.findInt({"mode"}), 2);
}

TEST_F(ConfigTest, FindWalksObjectsAndReportsNonObjects) {
  loadWith(R"({"server":5,"discovery":{"filtering":[{"hardware_id":"0"}]}})");
  StdoutCapture capture;
  EXPECT_EQ(config.find({}), config.document().get());
  ASSERT_NE(config.find({"discovery", "filtering"}), nullptr);
  EXPECT_TRUE(config.find({"discovery", "filtering"})->IsArray());
  EXPECT_EQ(config.find({"discovery", "absent"}), nullptr);
  EXPECT_EQ(capture.take(), "");

  EXPECT_EQ(config.find({"server", "ip"}), nullptr);
  EXPECT_EQ(capture.take(), "not an object [ip]\n");

  loadWith("{}");
  EXPECT_EQ(config.find({"server", "ip"}), nullptr);
  EXPECT_EQ(capture.take(), "");
}

TEST_F(ConfigTest, WrongTypedMembersReadAsMissing) {
  loadWith(
      R"({"mode":"Master","server":{"ip":5},"plugins":[7,"x",{"name":3},{"name":"a.so","descr":[],"enabled":"yes"}]})");
  EXPECT_EQ(config.findInt({"mode"}), std::nullopt);
  EXPECT_EQ(config.findText({"mode"}), "Master");
  EXPECT_EQ(config.findText({"server", "ip"}), std::nullopt);
  EXPECT_EQ(config.findPlugin("3"), nullptr);
  EXPECT_NE(config.findPlugin("a.so"), nullptr);

  for (const char* mode : {"null", "1.5", "1e12", "-3000000000", "true", "[]"}) {
    loadWith(std::string(R"({"mode":)") + mode + "}");
    EXPECT_EQ(config.findInt({"mode"}), std::nullopt) << mode;
    EXPECT_NE(config.find({"mode"}), nullptr) << mode;
  }
  loadWith(R"({"mode":4})");
  EXPECT_EQ(config.findInt({"mode"}), 4);
}

TEST_F(ConfigTest, FindOrCreateBuildsTheKeyPathAndReplacesNonObjects) {
  loadWith(R"({"server":5,"plugins":[]})");
  config.findOrCreate({"server", "ip"}).SetString("127.0.0.1", config.allocator());
  config.findOrCreate({"mode"}).SetInt(1);
  EXPECT_EQ(config.findText({"server", "ip"}), "127.0.0.1");

  // An existing member is handed back, not duplicated.
  config.findOrCreate({"server", "ip"}).SetString("10.0.0.1", config.allocator());
  ASSERT_TRUE(config.save());
  EXPECT_EQ(readFile(configFile()), R"({"server":{"ip":"10.0.0.1"},"plugins":[],"mode":1})");
}

TEST_F(ConfigTest, SaveWritesCompactJsonThroughATemporaryFileAndNoDefaultTable) {
  config.load();
  config.findOrCreate({"mode"}).SetInt(2);
  ASSERT_TRUE(config.save());
  // The default plug-in table is nobody's choice: it stays in memory only.
  EXPECT_EQ(readFile(configFile()), R"({"mode":2})");
  EXPECT_EQ(pluginNames(config), defaultNames());

  ASSERT_TRUE(config.setPluginTable({{"vextro.so", "Vextro devices proxy", false, "/opt/p"}, {"a.so", "A", true, ""}}));
  const std::string written = readFile(configFile());
  // No blank between tokens and no line break anywhere, not even at the end.
  EXPECT_EQ(written, R"({"mode":2,"plugins":[{"name":"vextro.so","descr":"Vextro devices proxy","enabled":false,)"
                     R"("folder":"/opt/p"},{"name":"a.so","descr":"A","enabled":true}]})");
  // Only the file itself is left behind, no temporary file.
  for (const auto& entry : fs::directory_iterator(base())) {
    EXPECT_TRUE(entry.is_directory() || entry.path() == configFile()) << entry.path();
  }

  // What was saved loads back as it was.
  config.load();
  EXPECT_EQ(config.findInt({"mode"}), 2);
  EXPECT_EQ(pluginNames(config), (std::vector<std::string>{"vextro.so", "a.so"}));
}

TEST_F(ConfigTest, AnExplicitPathIsReadAndSavedInstead) {
  const std::string other = userData.path() + "/elsewhere.json";
  writeFile(other, R"({"mode":1,"plugins":[]})");
  config.load(other);
  EXPECT_EQ(config.configPath(), other);
  EXPECT_EQ(config.findInt({"mode"}), 1);
  ASSERT_TRUE(config.save());
  EXPECT_FALSE(fs::exists(configFile()));
}

// Runs the test in another working folder, so that a stray relative file would show up there.
class ScopedWorkingDir {
 public:
  explicit ScopedWorkingDir(const std::string& path) : saved_(fs::current_path()) { fs::current_path(path); }
  ~ScopedWorkingDir() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(ConfigTest, WithoutAnyUserFolderNothingIsWritten) {
  ScopedEnv noAppData("APPDATA", std::nullopt);
  ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv noHome("HOME", std::nullopt);
  TempDir workingDir;
  ScopedWorkingDir cwd(workingDir.path());
  const bool rootFileBefore = fs::exists("/config.json");

  StdoutCapture capture;
  config.load();
  EXPECT_EQ(config.baseFolder(), "");
  EXPECT_EQ(config.configPath(), "");
  EXPECT_EQ(config.pluginFolders(), std::vector<std::string>{machinePlugins()});
  EXPECT_EQ(pluginNames(config), defaultNames());

  config.findOrCreate({"mode"}).SetInt(1);
  EXPECT_FALSE(config.save());
  EXPECT_EQ(config.findInt({"mode"}), 1);  // kept in memory
  EXPECT_TRUE(fs::is_empty(workingDir.path()));
  EXPECT_TRUE(fs::is_empty(userData.path()));
  EXPECT_EQ(fs::exists("/config.json"), rootFileBefore);
}

class PluginListTest : public ConfigTest {
 protected:
  void touch(const std::string& folder, const std::string& name) {
    fs::create_directories(folder);
    writeFile(folder + "/" + name, "");
  }
};

TEST_F(PluginListTest, ListsExactSuffixFilesFolderByFolder) {
  loadWith(R"({"plugins":[
    {"name":"vextro.so","descr":"Vextro devices proxy","enabled":1},
    {"name":"annwatch.so","descr":"SAP","enabled":0.0},
    {"name":"odd.so","descr":5,"enabled":"yes"},
    {"name":"vextro.so","descr":"second row never wins","enabled":false}]})");
  const std::string user = base() + "/plugins";
  for (const char* name :
       {"vextro.so", "annwatch.so", "odd.so", "unknown.so", "UPPER.SO", "win.dll", "x.so.1", "notes.txt"}) {
    touch(user, name);
  }
  touch(user + "/nested", "deep.so");
  touch(machinePlugins(), "vextro.so");

  std::vector<PluginEntry> list;
  config.pluginList(list);
  std::vector<std::string> rows;
  for (const PluginEntry& entry : list) {
    rows.push_back(entry.name + "|" + entry.descr + "|" + (entry.enabled ? "on" : "off"));
  }
  EXPECT_EQ(rows, (std::vector<std::string>{
                      "vextro.so|Vextro devices proxy|on",  // machine-wide folder first
                      "annwatch.so|SAP|off",
                      "odd.so||off",
                      "unknown.so|N/A|on",  // no choice stored: the engine loads it
                      "vextro.so|Vextro devices proxy|on",
                  }));
}

TEST_F(PluginListTest, TheEnginesFolderListIsTheAgentsAndTheDefaultTableChoosesNothing) {
  TempDir first;
  TempDir second;
  touch(first.path(), "vextro.so");
  touch(second.path(), "annwatch.so");
  ScopedEnv engineFolders("TVSK_PLUGIN_DIRS", ":" + first.path() + "::" + second.path() + ":");
  config.load();
  EXPECT_EQ(config.pluginFolders(), (std::vector<std::string>{first.path(), second.path()}));
  std::vector<PluginEntry> list;
  config.pluginList(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].folder, first.path());
  EXPECT_EQ(list[1].descr, "SAP Streams discovery (Dante & AES67)");
  EXPECT_TRUE(list[0].enabled);
  EXPECT_TRUE(list[1].enabled);
}

TEST_F(PluginListTest, SkipsFoldersThatDoNotExist) {
  config.load();
  fs::remove_all(base() + "/plugins");
  std::vector<PluginEntry> list;
  config.pluginList(list);
  EXPECT_TRUE(list.empty());
}

TEST(PathExists, IsTrueOnlyForFolders) {
  TempDir dir;
  writeFile(dir.path() + "/file", "x");
  EXPECT_TRUE(lmr::pathExists(dir.path()));
  EXPECT_FALSE(lmr::pathExists(dir.path() + "/file"));
  EXPECT_FALSE(lmr::pathExists(dir.path() + "/absent"));
}

}  // namespace
