#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "agent/src/QSingletonApp.h"
#include "agent/src/SingleInstance.h"
#include "agent/tests/OtherUserSocket.h"
#include "testing/qt_test_main/process_events_until.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

using lmr::InstanceAnswer;
using lmr::SingleInstance;
using testing_support::processEventsUntil;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using Outcome = SingleInstance::Outcome;
using namespace std::chrono_literals;

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

// A later agent's check, run beside the event loop the running guard needs.
struct Asked {
  Outcome outcome = Outcome::NoAgent;
  std::optional<InstanceAnswer> answer;
};

std::future<Asked> askOnAThread(const std::string& path) {
  return std::async(std::launch::async, [path] {
    SingleInstance check(path);
    const Outcome outcome = check.ask(0);
    return Asked{outcome, check.answer()};
  });
}

Asked askWhileProcessingEvents(const std::string& path) {
  auto asked = askOnAThread(path);
  processEventsUntil([&asked] { return asked.wait_for(0s) == std::future_status::ready; }, 10s);
  return asked.get();
}

std::string guardIn(const TempDir& folder) { return folder.path() + "/guard"; }

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(SingletonGuard, SocketLivesInAFolderOfThisUsersAlone) {
  TempDir runtime;
  TempDir temp;
  std::string problem;
  {
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path());
    EXPECT_EQ(SingleInstance::socketPath(problem), runtime.path() + "/lumora_agent_singleton");
  }
  ScopedEnv tmp("TMPDIR", temp.path());
  const std::string own = temp.path() + "/lumora-" + std::to_string(geteuid());
  {
    // A runtime folder others may enter is not used.
    ASSERT_EQ(chmod(runtime.path().c_str(), 0755), 0);
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path());
    EXPECT_EQ(SingleInstance::socketPath(problem), own + "/lumora_agent_singleton");
  }
  ScopedEnv noXdg("XDG_RUNTIME_DIR", std::nullopt);
  EXPECT_EQ(SingleInstance::socketPath(problem), own + "/lumora_agent_singleton");
  EXPECT_EQ(modeOf(own), 0700u);
  // Made by hand with a loose mode, it is closed again.
  ASSERT_EQ(chmod(own.c_str(), 0777), 0);
  EXPECT_EQ(SingleInstance::socketPath(problem), own + "/lumora_agent_singleton");
  EXPECT_EQ(modeOf(own), 0700u);
}

// Another local user takes the names in the shared temporary folder first: the agent's folder
// (and the bare socket name an older agent used) is not trusted, so nobody can make this user's
// agent believe another one runs.
TEST(SingletonGuard, NamesSquattedByAnotherUserAreNotTrusted) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TempDir temp;
  ASSERT_EQ(chmod(temp.path().c_str(), 01777), 0);
  const std::string folder = temp.path() + "/lumora-" + std::to_string(geteuid());
  testing_support::OtherUserSocket squatter({folder},
                                            {folder + "/lumora_agent_singleton",
                                             temp.path() + "/lumora_agent_singleton-" + std::to_string(geteuid())});
  ASSERT_TRUE(squatter.ready());
  ScopedEnv tmp("TMPDIR", temp.path());
  ScopedEnv noXdg("XDG_RUNTIME_DIR", std::nullopt);
  std::string problem;
  EXPECT_EQ(SingleInstance::socketPath(problem), "");
  EXPECT_EQ(problem, folder + " is not a folder of this user's alone");

  // A socket of another user where one of this user's is expected is ignored too.
  TempDir shared;
  ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
  const std::string path = shared.path() + "/guard";
  testing_support::OtherUserSocket other({}, {path});
  ASSERT_TRUE(other.ready());
  testing_support::StdoutCapture capture;
  SingleInstance check(path);
  EXPECT_EQ(check.ask(0), Outcome::NoAgent);
  EXPECT_TRUE(check.takeLock().valid());
  const std::string log = capture.take();
  EXPECT_NE(log.find("Ignoring " + path + ": it is not this user's (uid 65534)"), std::string::npos) << log;
}

TEST(SingletonGuard, ALaterAgentGetsTheRunningOnesAnswer) {
  TempDir runtime;
  const std::string path = guardIn(runtime);
  SingleInstance first(path);
  ASSERT_EQ(first.ask(0), Outcome::NoAgent);
  QSingletonApp guard(QString::fromStdString(path));
  ASSERT_TRUE(guard.listen(first.takeLock()));
  QByteArray received;
  guard.setCallback([&received](const QByteArray& message) -> std::optional<InstanceAnswer> {
    received += message;
    return InstanceAnswer::NoServerYet;
  });

  const Asked asked = askWhileProcessingEvents(path);
  EXPECT_EQ(asked.outcome, Outcome::Answered);
  EXPECT_EQ(asked.answer, InstanceAnswer::NoServerYet);
  EXPECT_EQ(received, QByteArray(4, '\0'));
  EXPECT_EQ(lmr::secondStartLine(asked.outcome, asked.answer),
            "A LUMORA agent is already running, but no server is attached to it yet: there is no web app to open "
            "(its tray says so)");
}

TEST(SingletonGuard, StaleSocketFileOfACrashedAgentDoesNotDisableTheGuard) {
  TempDir runtime;
  const std::string path = guardIn(runtime);
  leaveStaleSocketFile(QString::fromStdString(path));

  SingleInstance restarted(path);
  EXPECT_EQ(restarted.ask(0), Outcome::NoAgent);
  QSingletonApp guard(QString::fromStdString(path));
  ASSERT_TRUE(guard.listen(restarted.takeLock()));
  int messages = 0;
  guard.setCallback([&messages](const QByteArray&) -> std::optional<InstanceAnswer> {
    ++messages;
    return InstanceAnswer::WebAppOpened;
  });
  EXPECT_EQ(askWhileProcessingEvents(path).answer, InstanceAnswer::WebAppOpened);
  EXPECT_EQ(messages, 1);
}

TEST(SingletonGuard, AcceptedSocketsAreFreedWhenTheirPeerLeaves) {
  TempDir runtime;
  const std::string path = guardIn(runtime);
  QSingletonApp guard(QString::fromStdString(path));
  ASSERT_TRUE(guard.listen());
  guard.setCallback([](const QByteArray&) -> std::optional<InstanceAnswer> { return InstanceAnswer::WebAppOpened; });
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(askWhileProcessingEvents(path).outcome, Outcome::Answered);
  }
  const auto accepted = [&guard] { return guard.findChildren<QLocalSocket*>().size(); };
  EXPECT_TRUE(processEventsUntil([&] { return accepted() == 0; })) << accepted();
}

// Two agents started together: the later one's check waits for the first one's listen, so it
// finds it instead of removing its socket.
TEST(SingletonGuard, CheckAndListenAreOneStepForAgentsStartedTogether) {
  TempDir runtime;
  const std::string path = guardIn(runtime);
  SingleInstance first(path);
  ASSERT_EQ(first.ask(0), Outcome::NoAgent);
  auto second = std::async(std::launch::async, [path] { return SingleInstance(path).ask(0); });
  EXPECT_EQ(second.wait_for(300ms), std::future_status::timeout)
      << "the second agent checked while the first was between check and listen";
  QSingletonApp guard(QString::fromStdString(path));
  guard.setCallback([](const QByteArray&) -> std::optional<InstanceAnswer> { return InstanceAnswer::WebAppOpened; });
  ASSERT_TRUE(guard.listen(first.takeLock()));
  processEventsUntil([&second] { return second.wait_for(0s) == std::future_status::ready; }, 10s);
  EXPECT_EQ(second.get(), Outcome::Answered);
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(path)));
}

// An agent that is quitting answers nothing and stops listening: the later agent checks again and
// runs in its place, within its time limit.
TEST(SingletonGuard, AnAgentThatIsQuittingSendsTheLaterOneToRunInstead) {
  TempDir runtime;
  const std::string path = guardIn(runtime);
  QSingletonApp guard(QString::fromStdString(path));
  ASSERT_TRUE(guard.listen());
  guard.setCallback([](const QByteArray&) -> std::optional<InstanceAnswer> { return std::nullopt; });
  QElapsedTimer took;
  took.start();
  const Asked asked = askWhileProcessingEvents(path);
  EXPECT_EQ(asked.outcome, Outcome::NoAgent);
  EXPECT_FALSE(guard.listening());
  EXPECT_LT(took.elapsed(), SingleInstance::kCheckLimit.count());
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path)));
}

// An agent that takes the connection but never answers (hung) holds a later one only for the
// answer time.
TEST(SingletonGuard, AnAgentThatNeverAnswersHoldsALaterOneOnlyBriefly) {
  TempDir runtime;
  const std::string path = guardIn(runtime);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  const auto started = std::chrono::steady_clock::now();
  SingleInstance check(path);
  EXPECT_EQ(check.ask(0), Outcome::NoAnswer);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, SingleInstance::kAnswerTimeout - 100ms);
  EXPECT_LT(took, SingleInstance::kAnswerTimeout + 1s);
  EXPECT_EQ(lmr::secondStartLine(Outcome::NoAnswer, std::nullopt),
            "A LUMORA agent is already running, but it did not answer in time");
  close(fd);
}

// A local peer that floods, stays silent or sends more than one message.
TEST(SingletonGuard, EachConnectionCarriesOneMessageAndSilentOnesAreDropped) {
  TempDir runtime;
  const std::string path = guardIn(runtime);
  QSingletonApp guard(QString::fromStdString(path));
  ASSERT_TRUE(guard.listen());
  int messages = 0;
  guard.setCallback([&messages](const QByteArray&) -> std::optional<InstanceAnswer> {
    ++messages;
    return InstanceAnswer::WebAppOpened;
  });

  QLocalSocket flood;
  flood.connectToServer(QString::fromStdString(path));
  ASSERT_TRUE(flood.waitForConnected(1000));
  flood.write(QByteArray(8 << 20, '\0'));
  EXPECT_TRUE(processEventsUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }));
  EXPECT_EQ(messages, 0);

  QLocalSocket silent;
  silent.connectToServer(QString::fromStdString(path));
  ASSERT_TRUE(silent.waitForConnected(1000));
  QElapsedTimer held;
  held.start();
  EXPECT_TRUE(processEventsUntil([&] { return silent.state() == QLocalSocket::UnconnectedState; }));
  EXPECT_GE(held.elapsed(), QSingletonApp::kMessageTimeoutMs - 100);
  EXPECT_LT(held.elapsed(), QSingletonApp::kMessageTimeoutMs + 1000);

  // Many well-formed messages at once open the web app only a few times a second; the others are
  // told so.
  std::vector<std::future<Asked>> others;
  for (int i = 0; i < 6; ++i) {
    others.push_back(askOnAThread(path));
  }
  processEventsUntil(
      [&others] {
        for (auto& other : others) {
          if (other.wait_for(0s) != std::future_status::ready) return false;
        }
        return true;
      },
      10s);
  int refused = 0;
  for (auto& other : others) refused += other.get().answer == InstanceAnswer::TooManyRequests ? 1 : 0;
  EXPECT_EQ(messages, QSingletonApp::kMaxMessagesPerSecond);
  EXPECT_EQ(refused, 6 - QSingletonApp::kMaxMessagesPerSecond);
  const auto accepted = [&guard] { return guard.findChildren<QLocalSocket*>().size(); };
  EXPECT_TRUE(processEventsUntil([&] { return accepted() == 0; })) << accepted();
}

TEST(SingletonGuard, OnlyALittleEndianZeroAsksForTheWebApp) {
  EXPECT_TRUE(isShowWebAppMessage(QByteArray(4, '\0')));
  EXPECT_TRUE(isShowWebAppMessage(QByteArray("\0\0\0\0extra", 9)));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray(3, '\0')));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray()));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray("\1\0\0\0", 4)));
  EXPECT_FALSE(isShowWebAppMessage(QByteArray("\0\0\0\1", 4)));
  EXPECT_EQ(showWebAppMessage(), QByteArray(4, '\0'));
  EXPECT_EQ(answerBytes(InstanceAnswer::StillStarting), QByteArray("\2\0\0\0", 4));
}

}  // namespace
