#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "agent/src/Config.h"
#include "agent/tests/ConfigFixture.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using config_testing::ConfigTest;
using testing_support::readFile;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using testing_support::writeFile;

// Sets the process umask for one test.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(umask(mask)) {}
  ~ScopedUmask() { umask(saved_); }

 private:
  mode_t saved_;
};

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Names in a folder other than sub-folders, sorted.
std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.symlink_status().type() != fs::file_type::directory) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ConfigSaveTest : public ConfigTest {
 protected:
  // Loads contents, sets "mode" to 2 and saves.
  bool changeAndSave(const std::string& contents) {
    loadWith(contents);
    config.findOrCreate({"mode"}).SetInt(2);
    return config.save();
  }
};

TEST_F(ConfigSaveTest, ASymlinkedFileIsReplacedAtItsTargetAndTheLinkStays) {
  TempDir elsewhere;
  const std::string target = elsewhere.path() + "/settings.json";
  fs::create_directories(base());
  writeFile(target, R"({"mode":1,"plugins":[]})");
  // config.json -> hop (relative) -> settings.json in another folder (absolute).
  fs::create_symlink("hop", configFile());
  fs::create_symlink(target, base() + "/hop");

  config.load();
  EXPECT_EQ(config.findInt({"mode"}), 1);
  config.findOrCreate({"mode"}).SetInt(2);
  ASSERT_TRUE(config.save());
  EXPECT_EQ(readFile(target), R"({"mode":2,"plugins":[]})");
  EXPECT_TRUE(fs::is_symlink(configFile()));
  EXPECT_EQ(fs::read_symlink(configFile()), "hop");
  EXPECT_EQ(fs::read_symlink(base() + "/hop"), target);
  EXPECT_EQ(filesIn(elsewhere.path()), std::vector<std::string>{"settings.json"});

  // A link whose target does not exist yet gets that target created.
  const std::string later = elsewhere.path() + "/later.json";
  fs::remove(base() + "/hop");
  fs::create_symlink(later, base() + "/hop");
  ASSERT_TRUE(config.save());
  EXPECT_EQ(readFile(later), R"({"mode":2,"plugins":[]})");
  EXPECT_TRUE(fs::is_symlink(base() + "/hop"));
}

TEST_F(ConfigSaveTest, ALinkLoopFailsWithALogLine) {
  fs::create_directories(base());
  fs::create_symlink("config.json", configFile());
  config.load();
  StdoutCapture capture;
  EXPECT_FALSE(config.save());
  EXPECT_NE(capture.take().find(configFile()), std::string::npos);
  EXPECT_TRUE(fs::is_symlink(configFile()));
  EXPECT_EQ(filesIn(base()), std::vector<std::string>{"config.json"});
}

TEST_F(ConfigSaveTest, TheReplacedFileKeepsItsModeAndOwner) {
  ScopedUmask mask(022);
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0664}}) {
    loadWith(R"({"mode":1,"plugins":[]})");
    ASSERT_EQ(chmod(configFile().c_str(), mode), 0);
    config.findOrCreate({"mode"}).SetInt(2);
    ASSERT_TRUE(config.save());
    EXPECT_EQ(modeOf(configFile()), mode);
    EXPECT_EQ(readFile(configFile()), R"({"mode":2,"plugins":[]})");
  }
  if (geteuid() == 0) {
    ASSERT_EQ(chown(configFile().c_str(), 4242, 4343), 0);
    ASSERT_TRUE(config.save());
    struct stat info {};
    ASSERT_EQ(stat(configFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 4242u);
    EXPECT_EQ(info.st_gid, 4343u);
  }
  // A first save creates the file as an ordinary program would.
  fs::remove(configFile());
  ASSERT_TRUE(config.save());
  EXPECT_EQ(modeOf(configFile()), 0644u);
}

TEST_F(ConfigSaveTest, AReadOnlyFileIsNotReplaced) {
  for (const mode_t mode : {mode_t{0444}, mode_t{0400}, mode_t{0044}}) {
    loadWith(R"({"mode":1})");
    ASSERT_EQ(chmod(configFile().c_str(), mode), 0);
    config.findOrCreate({"mode"}).SetInt(2);
    StdoutCapture capture;
    EXPECT_FALSE(config.save()) << std::oct << mode;
    const std::string log = capture.take();
    EXPECT_NE(log.find(configFile()), std::string::npos) << log;
    EXPECT_NE(log.find("read-only"), std::string::npos) << log;
    EXPECT_EQ(readFile(configFile()), R"({"mode":1})");
    EXPECT_EQ(modeOf(configFile()), mode);
    EXPECT_EQ(filesIn(base()), std::vector<std::string>{"config.json"});
    ASSERT_EQ(chmod(configFile().c_str(), 0644), 0);
  }
}

TEST_F(ConfigSaveTest, AFailedWriteLeavesTheFormerFileAndNoTemporaryFile) {
  loadWith(R"({"mode":1,"plugins":[]})");
  config.findOrCreate({"mode"}).SetInt(2);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Files of more than 16 bytes cannot be written: the saved document is far longer.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    _exit(setrlimit(RLIMIT_FSIZE, &limit) == 0 && !config.save() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the save was reported as done";
  EXPECT_EQ(readFile(configFile()), R"({"mode":1,"plugins":[]})");
  EXPECT_EQ(filesIn(base()), std::vector<std::string>{"config.json"});

  ASSERT_TRUE(config.save());
  EXPECT_EQ(readFile(configFile()).substr(0, 9), R"({"mode":2)");
}

TEST_F(ConfigSaveTest, AValueJsonCannotHoldFailsTheSaveAndLeavesTheFile) {
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    loadWith(R"({"mode":1,"plugins":[]})");
    config.findOrCreate({"level"}).SetDouble(bad);
    config.findOrCreate({"mode"}).SetInt(2);
    StdoutCapture capture;
    EXPECT_FALSE(config.save());
    EXPECT_NE(capture.take().find(configFile()), std::string::npos);
    EXPECT_EQ(readFile(configFile()), R"({"mode":1,"plugins":[]})");
    EXPECT_EQ(filesIn(base()), std::vector<std::string>{"config.json"});
  }
  config.findOrCreate({"level"}).SetDouble(0.5);
  ASSERT_TRUE(config.save());
  EXPECT_EQ(readFile(configFile()), R"({"mode":2,"plugins":[],"level":0.5})");
}

TEST_F(ConfigSaveTest, ALinkPlantedAtAFixedTemporaryNameIsNeverWrittenThrough) {
  TempDir elsewhere;
  const std::string victim = elsewhere.path() + "/victim";
  writeFile(victim, "precious");
  fs::create_directories(base());
  for (const char* name : {"config.json.tmp", "config.json.new", ".config.json.tmp"}) {
    fs::create_symlink(victim, base() + "/" + name);
  }
  ASSERT_TRUE(changeAndSave(R"({"mode":1,"plugins":[]})"));
  EXPECT_EQ(readFile(victim), "precious");
  EXPECT_EQ(fs::read_symlink(base() + "/config.json.tmp"), victim);
  EXPECT_EQ(readFile(configFile()), R"({"mode":2,"plugins":[]})");
  EXPECT_EQ(filesIn(base()),
            (std::vector<std::string>{".config.json.tmp", "config.json", "config.json.new", "config.json.tmp"}));
}

TEST_F(ConfigSaveTest, AFileThatDoesNotParseIsKeptAsideBeforeTheFirstSaveReplacesIt) {
  const std::string broken = R"({"mode":1,"plugins":[{"name":"vextro.so",}])";
  for (int round = 0; round < 2; ++round) {
    loadWith(broken);
    EXPECT_EQ(filesIn(base()).size(), 1u + round);  // loading alone moves nothing
    config.findOrCreate({"mode"}).SetInt(2);
    StdoutCapture capture;
    ASSERT_TRUE(config.save());
    const std::string log = capture.take();
    const std::vector<std::string> files = filesIn(base());
    ASSERT_EQ(files.size(), 2u + round);
    // Two in the same second get names of their own.
    const std::string kept = files[1 + round];
    EXPECT_EQ(kept.rfind("config.json.broken-2", 0), 0u) << kept;
    EXPECT_EQ(readFile(base() + "/" + kept), broken);
    EXPECT_NE(log.find(base() + "/" + kept), std::string::npos) << log;
    EXPECT_EQ(readFile(configFile()), R"({"mode":2})");
    // Later saves replace the file that now loads.
    ASSERT_TRUE(config.save());
    EXPECT_EQ(filesIn(base()).size(), 2u + round);
  }
  // An empty file holds nothing to keep.
  loadWith("");
  ASSERT_TRUE(config.save());
  EXPECT_EQ(filesIn(base()).size(), 3u);
}

// The document writer w saves in round r: the pad makes each write take many system calls.
std::string documentOf(int writer, int round) {
  return R"({"writer":)" + std::to_string(writer) + R"(,"round":)" + std::to_string(round) + R"(,"pad":")" +
         std::string(200000, static_cast<char>('a' + writer)) + R"("})";
}

// True when text is exactly one document some writer saved.
bool isOneWritersDocument(const std::string& text, int writers, int rounds) {
  int writer = -1;
  int round = -1;
  if (std::sscanf(text.c_str(), R"({"writer":%d,"round":%d,)", &writer, &round) != 2) {
    return false;
  }
  return writer >= 0 && writer < writers && round >= 0 && round < rounds && text == documentOf(writer, round);
}

// Someone edits config.json while the agent runs; the agent's next change writes only its own
// key over the edited file.
TEST_F(ConfigSaveTest, EditsMadeOnDiskWhileRunningAreKeptByTheNextChange) {
  loadWith(R"({"mode":4})");
  writeFile(
      configFile(),
      R"({"mode":4,"server":{"ip":"10.1.2.3","port":1},"discovery":{"filtering":[{"hardware_id":"aa"}]},"extra":[1,2]})");
  config.findOrCreate({"mode"}).SetInt(1);
  StdoutCapture capture;
  ASSERT_TRUE(config.save()) << config.saveError();
  EXPECT_NE(capture.take().find("changed on disk"), std::string::npos);
  EXPECT_EQ(
      readFile(configFile()),
      R"({"mode":1,"server":{"ip":"10.1.2.3","port":1},"discovery":{"filtering":[{"hardware_id":"aa"}]},"extra":[1,2]})");
  EXPECT_EQ(config.findText({"server", "ip"}), "10.1.2.3");

  // After the agent's own write, a new outside edit is seen again; a nested key of the agent's
  // replaces only that key.
  writeFile(configFile(), R"({"mode":3,"server":{"ip":"10.1.2.3","port":1},"plugins":[]})");
  config.findOrCreate({"server", "ip"}).SetString("192.168.1.20", config.allocator());
  ASSERT_TRUE(config.save());
  EXPECT_EQ(readFile(configFile()), R"({"mode":3,"server":{"ip":"192.168.1.20","port":1},"plugins":[]})");

  // Unchanged on disk: the document is written as it is, nothing read again.
  config.findOrCreate({"mode"}).SetInt(2);
  StdoutCapture quiet;
  ASSERT_TRUE(config.save());
  EXPECT_EQ(quiet.take().find("changed on disk"), std::string::npos);
  EXPECT_EQ(readFile(configFile()), R"({"mode":2,"server":{"ip":"192.168.1.20","port":1},"plugins":[]})");
}

// A change an earlier save could not write stays the agent's own through a re-read.
TEST_F(ConfigSaveTest, AnUnsavedChangeSurvivesAnOutsideEdit) {
  loadWith(R"({"mode":4})");
  ASSERT_EQ(chmod(configFile().c_str(), 0444), 0);
  config.findOrCreate({"mode"}).SetInt(2);
  EXPECT_FALSE(config.save());
  EXPECT_TRUE(config.unsaved());
  ASSERT_EQ(chmod(configFile().c_str(), 0644), 0);
  writeFile(configFile(), R"({"mode":4,"server":{"ip":"10.9.9.9"}})");
  EXPECT_TRUE(config.refresh());
  EXPECT_EQ(config.findInt({"mode"}), 2);
  EXPECT_TRUE(config.unsaved());
  std::vector<lmr::PluginEntry> none;
  ASSERT_TRUE(config.setPluginTable(none));
  EXPECT_EQ(readFile(configFile()), R"({"mode":2,"server":{"ip":"10.9.9.9"},"plugins":[]})");
  EXPECT_FALSE(config.unsaved());
  EXPECT_FALSE(config.refresh());
}

TEST_F(ConfigSaveTest, ConcurrentSaversAlwaysLeaveOneWholeDocument) {
  constexpr int kWriters = 6;
  constexpr int kRounds = 40;
  loadWith("{}");
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int faults = 0;
      for (int round = 0; round < kRounds; ++round) {
        config.document()->Parse(documentOf(writer, round).c_str());
        faults += config.save() ? 0 : 1;
        // Whatever any saver did meanwhile, a reader sees one whole document.
        faults += isOneWritersDocument(readFile(configFile()), kWriters, kRounds) ? 0 : 1;
      }
      _exit(faults == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << child;
  }
  EXPECT_TRUE(isOneWritersDocument(readFile(configFile()), kWriters, kRounds));
  EXPECT_EQ(filesIn(base()), std::vector<std::string>{"config.json"});
}

}  // namespace
