#include "agent/src/Version.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using lmr::VersionInfo;
using testing_support::TempDir;

std::string copyInto(const TempDir& dir, const std::string& source, const std::string& name) {
  const std::string target = dir.path() + "/" + name;
  fs::copy_file(source, target);
  return target;
}

void setModificationTime(const std::string& path, time_t seconds) {
  const utimbuf times{seconds, seconds};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

TEST(VersionText, ComesFromTheRecordInTheRunningProgram) {
  VersionInfo info;
  ASSERT_TRUE(lmr::readVersion(info));
  EXPECT_EQ(lmr::versionString(info), LUMORA_EXPECTED_VERSION);
  EXPECT_NE(info.mtime, 0);

  // Same file, same modification time: nothing is read again.
  VersionInfo again = info;
  again.build = 999;
  EXPECT_FALSE(lmr::readVersion(again));
  EXPECT_EQ(again.build, 999u);
}

TEST(VersionText, IsInEveryProgramThatLinksTheAgentCore) {
  VersionInfo info;
  ASSERT_TRUE(lmr::readVersion(info, AGENT_VERSION_PROBE));
  EXPECT_EQ(lmr::versionString(info), LUMORA_EXPECTED_VERSION);
}

TEST(VersionText, IsReadAgainOnceTheFileChanges) {
  TempDir dir;
  const std::string program = copyInto(dir, platform::ownExecutablePath(), "program");
  setModificationTime(program, 1000000000);
  VersionInfo info;
  ASSERT_TRUE(lmr::readVersion(info, program));
  EXPECT_EQ(info.mtime, 1000000000);
  EXPECT_FALSE(lmr::readVersion(info, program));
  setModificationTime(program, 1000000001);
  EXPECT_TRUE(lmr::readVersion(info, program));
  EXPECT_EQ(lmr::versionString(info), LUMORA_EXPECTED_VERSION);
}

TEST(VersionText, IsNoneForAFileWithoutARecord) {
  TempDir dir;
  const std::string foreign = copyInto(dir, "/bin/true", "true");
  const std::string text = dir.path() + "/text";
  std::ofstream(text) << "not a program";
  // A file cut inside its section headers must be rejected, not read past its end.
  const std::string cut = dir.path() + "/cut";
  fs::copy_file(platform::ownExecutablePath(), cut);
  fs::resize_file(cut, fs::file_size(cut) - 64);

  for (const std::string& path : {foreign, text, cut, dir.path() + "/absent"}) {
    VersionInfo info;
    EXPECT_FALSE(lmr::readVersion(info, path)) << path;
    EXPECT_EQ(lmr::versionString(info), "None") << path;
    EXPECT_EQ(info.mtime, 0) << path;
  }
}

TEST(VersionText, FormatsAllFourNumbers) {
  VersionInfo info;
  info.major = 1;
  info.minor = 5;
  info.patch = 2;
  info.build = 114;
  EXPECT_EQ(lmr::versionString(info), "1.5.2 b114");
  info = VersionInfo{};
  info.build = 3;
  EXPECT_EQ(lmr::versionString(info), "0.0.0 b3");
}

TEST(DisplayScale, StartsAtOne) { EXPECT_EQ(lmr::dpiScale, 1.0f); }

}  // namespace
