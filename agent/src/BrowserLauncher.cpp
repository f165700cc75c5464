#include "agent/src/BrowserLauncher.h"

#include <QGuiApplication>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

extern char** environ;

namespace lmr {
namespace {

constexpr const char* kNullDevice = "/dev/null";

}  // namespace

BrowserLauncher::BrowserLauncher(std::chrono::milliseconds checkWindow) : checkWindow_(checkWindow) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &BrowserLauncher::poll);
}

void BrowserLauncher::open(const QUrl& url) {
  const QString text = url.toString();
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
    emit failed(text, QStringLiteral("the offscreen platform has no desktop to open it on"));
    return;
  }
  const std::string address = text.toStdString();
  std::string program = kOpener;
  char* argv[] = {program.data(), const_cast<char*>(address.c_str()), nullptr};
  // Its own session, as a desktop's launcher would: Ctrl+C in the agent's terminal leaves the browser.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  // No descriptor of the agent's, its standard streams included: the browser may outlive the agent
  // and must hold neither its sockets nor the pipe its output goes to (`./run.sh | tee` would
  // never end), nor write its own noise into the agent's console.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, kNullDevice, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, kNullDevice, O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, kNullDevice, O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, kOpener, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    emit failed(text, QStringLiteral("%1 could not be started: %2")
                          .arg(QString::fromLatin1(kOpener), QString::fromLocal8Bit(std::strerror(error))));
    return;
  }
  Opener opener{pid, text, QElapsedTimer()};
  opener.started.start();
  openers_.push_back(opener);
  schedule();
}

void BrowserLauncher::poll() {
  const auto ended = [this](Opener& opener) { return !stillRunning(opener); };
  openers_.erase(std::remove_if(openers_.begin(), openers_.end(), ended), openers_.end());
  schedule();
}

bool BrowserLauncher::stillRunning(Opener& opener) {
  int status = 0;
  const pid_t done = waitpid(opener.pid, &status, WNOHANG);
  if (done == 0) {
    return true;
  }
  // Another owner may have reaped it (done < 0): nothing is known, nothing reported.
  const bool inWindow = opener.started.elapsed() <= checkWindow_.count();
  if (done == opener.pid && inWindow) {
    const QString openerName = QString::fromLatin1(kOpener);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      emit failed(opener.url, QStringLiteral("%1 exited with %2").arg(openerName).arg(WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
      emit failed(opener.url, QStringLiteral("%1 ended by signal %2").arg(openerName).arg(WTERMSIG(status)));
    }
  }
  return false;
}

void BrowserLauncher::schedule() {
  if (openers_.empty()) {
    timer_.stop();
    return;
  }
  const bool checking = std::any_of(openers_.begin(), openers_.end(), [this](const Opener& opener) {
    return opener.started.elapsed() <= checkWindow_.count();
  });
  const auto interval = checking ? kCheckPoll : kReapPoll;
  if (!timer_.isActive() || timer_.remainingTime() > interval.count()) {
    timer_.start(static_cast<int>(interval.count()));
  }
}

}  // namespace lmr
