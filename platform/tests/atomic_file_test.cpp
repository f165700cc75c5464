#include "platform/atomic_file.h"
#include "platform/file_descriptor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/full_disk.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::ReplaceOutcome;
using testing_support::FullDisk;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

ReplaceOutcome replaceWith(const std::string& path, const std::string& text, platform::ReplaceOptions options = {}) {
  return platform::replaceFile(
      path, [&text](int fd) { return platform::writeAll(fd, text.data(), text.size()); }, options);
}

TEST(ReplaceFile, WritesANewFileOrReplacesOneKeepingItsMode) {
  TempDir dir;
  const std::string file = dir.path() + "/settings.json";
  const mode_t mask = umask(022);
  ASSERT_TRUE(replaceWith(file, "first").done());
  umask(mask);
  EXPECT_EQ(readFile(file), "first");
  EXPECT_EQ(modeOf(file), 0644u);

  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(replaceWith(file, "second").done());
  EXPECT_EQ(readFile(file), "second");
  EXPECT_EQ(modeOf(file), 0640u);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"settings.json"});
}

TEST(ReplaceFile, AFailedFillOrARefusedTargetLeavesTheFormerFileAlone) {
  TempDir dir;
  const std::string file = dir.path() + "/plugin.so";
  writeFile(file, "former");
  const ReplaceOutcome cut = platform::replaceFile(file, [](int fd) { return write(fd, "half", 4) == 4 && false; });
  EXPECT_EQ(cut.stage, ReplaceOutcome::Stage::Fill);
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  const ReplaceOutcome readOnly = replaceWith(file, "new");
  EXPECT_EQ(readOnly.stage, ReplaceOutcome::Stage::Refused);
  EXPECT_EQ(readOnly.message, "the file is read-only");
  EXPECT_EQ(readFile(file), "former");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"plugin.so"});
  EXPECT_EQ(replaceWith(dir.path() + "/absent/x", "new").stage, ReplaceOutcome::Stage::Create);
}

TEST(ReplaceFile, ALinkIsFollowedOrReplacedAsAsked) {
  TempDir dir;
  TempDir elsewhere;
  const std::string victim = elsewhere.path() + "/victim";
  writeFile(victim, "precious");
  fs::create_symlink(victim, dir.path() + "/followed");
  fs::create_symlink(victim, dir.path() + "/replaced");
  ASSERT_TRUE(replaceWith(dir.path() + "/followed", "through").done());
  EXPECT_EQ(readFile(victim), "through");
  EXPECT_TRUE(fs::is_symlink(dir.path() + "/followed"));

  ASSERT_TRUE(replaceWith(dir.path() + "/replaced", "own file", {false}).done());
  EXPECT_EQ(readFile(victim), "through");
  EXPECT_FALSE(fs::is_symlink(dir.path() + "/replaced"));
  EXPECT_EQ(readFile(dir.path() + "/replaced"), "own file");
}

TEST(ReplaceFile, AFullDiskFailsWithItsReasonAndLeavesNoTemporaryFile) {
  TempDir dir;
  FullDisk disk(dir.path() + "/disk");
  if (!disk.mounted()) GTEST_SKIP() << "needs the test namespace";
  const std::string file = dir.path() + "/disk/config.json";
  ASSERT_TRUE(replaceWith(file, "small").done());
  disk.fill();
  const ReplaceOutcome outcome = replaceWith(file, std::string(64 << 10, 'x'));
  EXPECT_FALSE(outcome.done());
  EXPECT_EQ(outcome.message, std::strerror(ENOSPC));
  EXPECT_EQ(readFile(file), "small");
  EXPECT_EQ(namesIn(dir.path() + "/disk"), (std::vector<std::string>{".filler", "config.json"}));
  disk.release();
  EXPECT_TRUE(replaceWith(file, "after").done());
}

}  // namespace
