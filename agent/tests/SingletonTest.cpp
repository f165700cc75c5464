#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "agent/src/QSingletonApp.h"
#include "testing/qt_test_main/process_events_until.h"
#include "testing/temp_dir.h"

namespace {

using testing_support::processEventsUntil;
using testing_support::ScopedEnv;
using testing_support::TempDir;

// A socket file as a crashed agent leaves it: bound once, nobody listening any more.
void leaveStaleSocketFile(const QString& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const QByteArray encoded = QFile::encodeName(path);
  ASSERT_LT(static_cast<size_t>(encoded.size()), sizeof(address.sun_path));
  std::memcpy(address.sun_path, encoded.constData(), static_cast<size_t>(encoded.size()));
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(fd);
  ASSERT_TRUE(QFileInfo::exists(path));
}

TEST(SingletonGuard, PathIsPerUserInTheRuntimeFolderElseTheTempFolder) {
  TempDir runtime;
  TempDir temp;
  {
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path());
    EXPECT_EQ(QSingletonApp::serverPath(), QString::fromStdString(runtime.path() + "/lumora_agent_singleton"));
  }
  ScopedEnv noXdg("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv tmp("TMPDIR", temp.path());
  EXPECT_EQ(QSingletonApp::serverPath(),
            QString::fromStdString(temp.path() + "/lumora_agent_singleton-" + std::to_string(getuid())));
}

TEST(SingletonGuard, SecondInstanceMessageArrivesEvenWhenItsSocketIsDestroyedAtOnce) {
  TempDir runtime;
  const QString path = QString::fromStdString(runtime.path() + "/guard");
  QSingletonApp first(path);
  ASSERT_FALSE(first.connectToRunning());
  ASSERT_TRUE(first.listen());
  QByteArray received;
  first.setCallback([&received](const QByteArray& message) { received += message; });

  {
    auto second = std::make_unique<QSingletonApp>(path);
    ASSERT_TRUE(second->connectToRunning());
    EXPECT_TRUE(second->send(showWebAppMessage()));
    // Destroyed without a chance to flush through an event loop.
  }
  ASSERT_TRUE(processEventsUntil([&] { return received.size() >= 4; }));
  EXPECT_EQ(received, QByteArray(4, '\0'));
  EXPECT_TRUE(isShowWebAppMessage(received));
}

TEST(SingletonGuard, StaleSocketFileOfACrashedAgentDoesNotDisableTheGuard) {
  TempDir runtime;
  const QString path = QString::fromStdString(runtime.path() + "/guard");
  leaveStaleSocketFile(path);

  QSingletonApp restarted(path);
  EXPECT_FALSE(restarted.connectToRunning());
  ASSERT_TRUE(restarted.listen());
  int messages = 0;
  restarted.setCallback([&messages](const QByteArray&) { ++messages; });

  QSingletonApp second(path);
  ASSERT_TRUE(second.connectToRunning());
  second.send(showWebAppMessage());
  EXPECT_TRUE(processEventsUntil([&] { return messages == 1; }));
}

TEST(SingletonGuard, AcceptedSocketsAreFreedWhenTheirPeerLeaves) {
  TempDir runtime;
  const QString path = QString::fromStdString(runtime.path() + "/guard");
  QSingletonApp first(path);
  ASSERT_TRUE(first.listen());
  for (int i = 0; i < 3; ++i) {
    QSingletonApp second(path);
    ASSERT_TRUE(second.connectToRunning());
    second.send(showWebAppMessage());
  }
  const auto accepted = [&first] { return first.findChildren<QLocalSocket*>().size(); };
  // Only the guard's own client socket is left once the peers' disconnections are handled.
  EXPECT_TRUE(processEventsUntil([&] { return accepted() == 1; })) << accepted();
}

// Two agents started together: the later one's check waits for the first one's listen, so it
// finds it instead of removing its socket.
TEST(SingletonGuard, CheckAndListenAreOneStepForAgentsStartedTogether) {
  TempDir runtime;
  const QString path = QString::fromStdString(runtime.path() + "/guard");
  QSingletonApp first(path);
  ASSERT_FALSE(first.connectToRunning());
  std::atomic<int> secondFound{-1};
  std::thread second([&] {
    QSingletonApp other(path);
    secondFound = other.connectToRunning() ? 1 : 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(secondFound.load(), -1) << "the second agent checked while the first was between check and listen";
  ASSERT_TRUE(first.listen());
  second.join();
  EXPECT_EQ(secondFound.load(), 1);
  EXPECT_TRUE(QFileInfo::exists(path));
}

// A local peer that floods, stays silent or sends more than one message.
TEST(SingletonGuard, EachConnectionCarriesOneMessageAndSilentOnesAreDropped) {
  TempDir runtime;
  const QString path = QString::fromStdString(runtime.path() + "/guard");
  QSingletonApp first(path);
  ASSERT_TRUE(first.listen());
  int messages = 0;
  first.setCallback([&messages](const QByteArray&) { ++messages; });

  QLocalSocket flood;
  flood.connectToServer(path);
  ASSERT_TRUE(flood.waitForConnected(1000));
  flood.write(QByteArray(8 << 20, '\0'));
  EXPECT_TRUE(processEventsUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }));
  EXPECT_EQ(messages, 0);

  QLocalSocket silent;
  silent.connectToServer(path);
  ASSERT_TRUE(silent.waitForConnected(1000));
  QElapsedTimer held;
  held.start();
  EXPECT_TRUE(processEventsUntil([&] { return silent.state() == QLocalSocket::UnconnectedState; }));
  EXPECT_GE(held.elapsed(), QSingletonApp::kMessageTimeoutMs - 100);
  EXPECT_LT(held.elapsed(), QSingletonApp::kMessageTimeoutMs + 1000);

  // Many well-formed messages at once open the web app only a few times a second.
  std::vector<std::unique_ptr<QSingletonApp>> others;
  for (int i = 0; i < 6; ++i) {
    others.push_back(std::make_unique<QSingletonApp>(path));
    ASSERT_TRUE(others.back()->connectToRunning());
    others.back()->send(showWebAppMessage());
  }
  processEventsUntil([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_EQ(messages, QSingletonApp::kMaxMessagesPerSecond);
  const auto accepted = [&first] { return first.findChildren<QLocalSocket*>().size(); };
  EXPECT_TRUE(processEventsUntil([&] { return accepted() == 1; })) << accepted();
}

TEST(SingletonGuard, OnlyALittleEndianZeroAsksForTheWebApp) {
  EXPECT_TRUE(isShowWebAppMessage(QByteArray(4, '\0')));
  EXPECT_TRUE(isShowWebAppMessage(QByteArray("\0\0\0\0extra", 9)));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray(3, '\0')));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray()));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray("\1\0\0\0", 4)));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray("\0\0\0\1", 4)));
  EXPECT_EQ(showWebAppMessage(), QByteArray(4, '\0'));
}

}  // namespace
