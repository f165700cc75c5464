#include "agent/tests/ProgramRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "testing/temp_dir.h"

extern char** environ;

namespace testing_support {

namespace {

using namespace std::chrono_literals;

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const size_t equals = text.find('=');
    if (equals != std::string::npos) {
      merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) {
    result.push_back(name + "=" + value);
  }
  return result;
}

}  // namespace

ProgramRun::ProgramRun(const std::string& program, const std::vector<std::string>& arguments,
                       const std::map<std::string, std::optional<std::string>>& env, const std::string& outputPrefix)
    : outputPath_(outputPrefix + ".out"), errorPath_(outputPrefix + ".err") {
  // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
  std::vector<std::string> environment = mergedEnvironment(env);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int out = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open(errorPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0 || err < 0) {
    throw std::runtime_error("cannot create output files at " + outputPrefix);
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out, 1);
    dup2(err, 2);
    const int nullInput = open("/dev/null", O_RDONLY);
    dup2(nullInput, 0);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out);
  close(err);
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
}

ProgramRun::~ProgramRun() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitExit(5s);
  }
}

std::optional<int> ProgramRun::waitExit(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!exitCode_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= end) {
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  return exitCode_;
}

bool ProgramRun::running() { return pid_ > 0 && !waitExit(0ms); }

void ProgramRun::signal(int number) {
  if (running()) {
    kill(pid_, number);
  }
}

std::string ProgramRun::output() const { return readFile(outputPath_); }

std::string ProgramRun::errors() const { return readFile(errorPath_); }

bool ProgramRun::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

}  // namespace testing_support
