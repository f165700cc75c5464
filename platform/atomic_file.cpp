#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

namespace platform {
namespace {

// Links followed from the path to the file it names, as the system's own limit.
constexpr int kMaxLinkHops = 40;
// Names tried for the temporary file before giving up.
constexpr int kTemporaryNameAttempts = 100;
constexpr std::size_t kSuffixLength = 6;

ReplaceOutcome failed(ReplaceOutcome::Stage stage, std::string message) { return {stage, std::move(message)}; }

ReplaceOutcome failedWith(ReplaceOutcome::Stage stage, int error) { return failed(stage, std::strerror(error)); }

// Follows symbolic links from path to the name of the file they lead to, which need not exist
// yet. False with errno set on a loop or an unreadable link.
bool resolveLinks(std::string& path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return true;
    }
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) {
      errno = error.value();
      return false;
    }
    path = target.is_absolute() ? target.string() : (std::filesystem::path(path).parent_path() / target).string();
  }
  errno = ELOOP;
  return false;
}

// Letters or digits, different for every writer.
std::string randomSuffix() {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kSuffixLength] = {};
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Uniqueness still comes from O_EXCL; this only keeps the names varied.
    const unsigned long long mixed = static_cast<unsigned long long>(getpid()) * 2654435761ULL ^
                                     static_cast<unsigned long long>(std::clock()) ^
                                     static_cast<unsigned long long>(std::time(nullptr));
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
      bytes[i] = static_cast<unsigned char>(mixed >> (8 * i));
    }
  }
  std::string suffix;
  for (const unsigned char byte : bytes) {
    suffix += kLetters[byte % (sizeof kLetters - 1)];
  }
  return suffix;
}

std::filesystem::path folderOf(const std::string& file) {
  const std::filesystem::path path(file);
  return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

// Creates a new, empty file next to target under a hidden name no one else uses: created
// exclusively and never through a link. -1 with errno set on failure.
int createTemporaryFile(const std::string& target, std::string& temporary) {
  const std::string name = std::filesystem::path(target).filename().string();
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = (folderOf(target) / ("." + name + "." + randomSuffix())).string();
    // Private until it gets its final mode, before anything is written.
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

// The file-creation mask, read without changing it (umask itself sets a new one). The usual 022
// when the system does not tell.
mode_t processUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) {
    return 022;
  }
  unsigned mask = 022;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Umask: %o", &mask) == 1) {
      break;
    }
  }
  std::fclose(status);
  return static_cast<mode_t>(mask & 0777);
}

// Makes the rename durable; a failure here loses nothing already written.
void syncFolder(const std::string& file) {
  const int fd = open(folderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// Gives the new file the former one's owner and mode, or a created file's usual mode.
void takeOverMode(int fd, const struct stat* former) {
  if (former == nullptr) {
    (void)fchmod(fd, 0666 & ~processUmask());
    return;
  }
  // The owner first: changing it may clear set-id bits that the mode then restores.
  if (former->st_uid != geteuid() || former->st_gid != getegid()) {
    (void)fchown(fd, former->st_uid, former->st_gid);
  }
  (void)fchmod(fd, former->st_mode & 07777);
}

// Fills the open temporary file and closes it; the outcome of those steps.
ReplaceOutcome fillAndClose(int fd, const std::function<bool(int fd)>& fill) {
  errno = 0;
  if (!fill(fd)) {
    const int error = errno;
    close(fd);
    return failed(ReplaceOutcome::Stage::Fill, error != 0 ? std::strerror(error) : "the contents were not complete");
  }
  int error = fsync(fd) != 0 ? errno : 0;
  if (close(fd) != 0 && error == 0) {
    error = errno;
  }
  return error != 0 ? failedWith(ReplaceOutcome::Stage::Write, error) : ReplaceOutcome{};
}

}  // namespace

ReplaceOutcome replaceFile(const std::string& path, const std::function<bool(int fd)>& fill, ReplaceOptions options) {
  std::string target = path;
  if (options.followLinks && !resolveLinks(target)) {
    return failedWith(ReplaceOutcome::Stage::Refused, errno);
  }
  struct stat former {};
  const bool exists = lstat(target.c_str(), &former) == 0;
  if (exists && !S_ISREG(former.st_mode) && !(S_ISLNK(former.st_mode) && !options.followLinks)) {
    return failed(ReplaceOutcome::Stage::Refused, "not a regular file");
  }
  const bool regular = exists && S_ISREG(former.st_mode);
  if (regular && ((former.st_mode & S_IWUSR) == 0 || faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)) {
    return failed(ReplaceOutcome::Stage::Refused, "the file is read-only");
  }

  std::string temporary;
  const int fd = createTemporaryFile(target, temporary);
  if (fd < 0) {
    return failedWith(ReplaceOutcome::Stage::Create, errno);
  }
  takeOverMode(fd, regular ? &former : nullptr);
  ReplaceOutcome outcome = fillAndClose(fd, fill);
  if (outcome.done() && rename(temporary.c_str(), target.c_str()) != 0) {
    outcome = failedWith(ReplaceOutcome::Stage::Write, errno);
  }
  if (!outcome.done()) {
    unlink(temporary.c_str());
    return outcome;
  }
  syncFolder(target);
  return outcome;
}

}  // namespace platform
