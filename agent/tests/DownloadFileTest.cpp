#include "agent/src/DownloadFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "agent/src/CatalogueHttp.h"
#include "testing/full_disk.h"
#include "testing/http_server/http_server.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lmr::DownloadResult;
using testing_support::FullDisk;
using testing_support::HttpServer;
using testing_support::readFile;
using testing_support::ScriptedReply;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using testing_support::writeFile;

TEST(PlainFileName, AcceptsOnlyNamesOfOneEntry) {
  for (const char* good : {"vextro.so", "relay_brixel.dll", "Brixel", "a b", ".hidden", "x..y"}) {
    EXPECT_TRUE(lmr::isPlainFileName(good)) << good;
  }
  for (const char* bad :
       {"", ".", "..", "../evil.so", "/abs/x.so", "a/b.so", "..\\x.dll", "a\\b", "tab\there", "line\nend", "del\x7f"}) {
    EXPECT_FALSE(lmr::isPlainFileName(bad)) << bad;
  }
  EXPECT_FALSE(lmr::isPlainFileName(std::string("nul\0x", 5)));
}

class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override { lmr::setHttpTimeouts({1000ms, 400ms}); }
  void TearDown() override { lmr::setHttpTimeouts({}); }

  // Every entry of the folder, to show nothing else was left there.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  HttpServer server;
  TempDir folder;
};

TEST_F(DownloadFileTest, StoresTheServedBytesAndLeavesNoPartFile) {
  const std::string bytes(
      "\x7f"
      "ELF\0\1\2 plug-in",
      16);
  server.setReply("/files/vextro.so", ScriptedReply::text(200, bytes, "application/octet-stream"));
  const std::string target = folder.path() + "/vextro.so";
  StdoutCapture capture;
  EXPECT_EQ(lmr::downloadToFile(server.address(), "/files/vextro.so", target, lmr::kPluginBodyCap),
            DownloadResult::Stored);
  EXPECT_EQ(capture.take(), target + "\nGetting" + server.address() + " --/files/vextro.so\n");
  EXPECT_EQ(readFile(target), bytes);
  EXPECT_EQ(entries(), std::vector<std::string>{"vextro.so"});
}

TEST_F(DownloadFileTest, AFailedTransferKeepsTheOldFileUntouched) {
  const std::string target = folder.path() + "/vextro.so";
  writeFile(target, "the build the engine runs");
  const auto inode = fs::status(target).permissions();
  server.setReply("/404", ScriptedReply::html(404, "<html>gone</html>"));
  server.setReply("/cut", ScriptedReply::raw("HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nhalf"));
  server.setReply("/stall", ScriptedReply::stall());
  for (const char* path : {"/404", "/cut", "/stall"}) {
    EXPECT_EQ(lmr::downloadToFile(server.address(), path, target, lmr::kPluginBodyCap), DownloadResult::TransferFailed)
        << path;
    EXPECT_EQ(readFile(target), "the build the engine runs") << path;
    EXPECT_EQ(entries(), std::vector<std::string>{"vextro.so"}) << path;
  }
  EXPECT_EQ(fs::status(target).permissions(), inode);
}

TEST_F(DownloadFileTest, AFolderThatCannotTakeTheFileIsReported) {
  writeFile(folder.path() + "/not-a-folder", "x");
  server.setReply("/f", ScriptedReply::text(200, "data"));
  EXPECT_EQ(lmr::downloadToFile(server.address(), "/f", folder.path() + "/not-a-folder/f", 100),
            DownloadResult::CannotCreate);
  EXPECT_EQ(lmr::downloadToFile(server.address(), "/f", folder.path() + "/missing/f", 100),
            DownloadResult::CannotCreate);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(DownloadFileTest, ALeftOverPartFileDoesNotBlockTheDownload) {
  const std::string target = folder.path() + "/p.png";
  writeFile(target + ".part", "left by a crash");
  server.setReply("/p.png", ScriptedReply::text(200, "png bytes", "image/png"));
  EXPECT_EQ(lmr::downloadToFile(server.address(), "/p.png", target, lmr::kPictureBodyCap), DownloadResult::Stored);
  EXPECT_EQ(readFile(target), "png bytes");
  EXPECT_EQ(readFile(target + ".part"), "left by a crash");
  EXPECT_FALSE(fs::exists(target + ".1.part"));
}

TEST_F(DownloadFileTest, ANewBuildKeepsTheFormerFilesModeAndALinkIsNeverWrittenThrough) {
  server.setReply("/vextro.so", ScriptedReply::text(200, "new build", "application/octet-stream"));
  const std::string target = folder.path() + "/vextro.so";
  writeFile(target, "old build");
  ASSERT_EQ(chmod(target.c_str(), 0750), 0);
  StdoutCapture capture;
  ASSERT_EQ(lmr::downloadToFile(server.address(), "/vextro.so", target, 100), DownloadResult::Stored);
  EXPECT_EQ(readFile(target), "new build");
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0750));

  TempDir elsewhere;
  writeFile(elsewhere.path() + "/victim", "precious");
  fs::remove(target);
  fs::create_symlink(elsewhere.path() + "/victim", target);
  ASSERT_EQ(lmr::downloadToFile(server.address(), "/vextro.so", target, 100), DownloadResult::Stored);
  EXPECT_EQ(readFile(elsewhere.path() + "/victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(entries(), std::vector<std::string>{"vextro.so"});
}

TEST_F(DownloadFileTest, AFullDiskKeepsTheOldFileAndLeavesNothingBehind) {
  FullDisk disk(folder.path() + "/disk");
  if (!disk.mounted()) GTEST_SKIP() << "needs the test namespace";
  const std::string target = folder.path() + "/disk/vextro.so";
  writeFile(target, "the build the engine runs");
  disk.fill();
  server.setReply("/vextro.so", ScriptedReply::text(200, std::string(512 << 10, 'b'), "application/octet-stream"));
  StdoutCapture capture;
  EXPECT_EQ(lmr::downloadToFile(server.address(), "/vextro.so", target, lmr::kPluginBodyCap),
            DownloadResult::TransferFailed);
  EXPECT_EQ(readFile(target), "the build the engine runs");
  EXPECT_EQ(entries(), std::vector<std::string>{"disk"});
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder.path() + "/disk")) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".filler", "vextro.so"}));
}

}  // namespace
