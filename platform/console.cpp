#include "platform/console.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

void openConsole() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    // open() returns the lowest free descriptor, which is this one when all below are open.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

}  // namespace platform
