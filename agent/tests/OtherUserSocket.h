#pragma once

#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace testing_support {

// Another local user (uid and gid 65534, "nobody") in a child process: it makes the folders
// (mode 0777) and listens on local sockets at the paths, as someone squatting the names an agent
// would use. Needs root; ready() is false otherwise. Killed when destroyed.
class OtherUserSocket {
 public:
  static constexpr uid_t kOtherUid = 65534;

  OtherUserSocket(const std::vector<std::string>& folders, const std::vector<std::string>& sockets) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      // Async-signal-safe calls only from here on.
      close(ready[0]);
      bool ok = setgroups(0, nullptr) == 0 && setgid(kOtherUid) == 0 && setuid(kOtherUid) == 0;
      for (const std::string& folder : folders) {
        ok = ok && (mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST) && chmod(folder.c_str(), 0777) == 0;
      }
      for (const std::string& path : sockets) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ok = ok && fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
             listen(fd, 8) == 0;
      }
      const char result = ok ? 1 : 0;
      [[maybe_unused]] const ssize_t written = write(ready[1], &result, 1);
      for (;;) pause();
    }
    close(ready[1]);
    char result = 0;
    ready_ = pid_ > 0 && read(ready[0], &result, 1) == 1 && result == 1;
    close(ready[0]);
  }
  ~OtherUserSocket() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  OtherUserSocket(const OtherUserSocket&) = delete;
  OtherUserSocket& operator=(const OtherUserSocket&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace testing_support
