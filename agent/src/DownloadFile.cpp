#include "agent/src/DownloadFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ostream>
#include <streambuf>

#include "agent/src/CatalogueHttp.h"
#include "log/console_log.h"

namespace lmr {
namespace {

// Attempts at a free part-file name when another download (or a crash) left "<target>.part".
constexpr int kPartNameAttempts = 16;

// Unbuffered stream buffer over a file descriptor; httpGet writes whole chunks anyway.
class FdStreamBuf : public std::streambuf {
 public:
  explicit FdStreamBuf(int fd) : fd_(fd) {}

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    std::streamsize written = 0;
    while (written < count) {
      const ssize_t n = ::write(fd_, data + written, static_cast<size_t>(count - written));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      written += n;
    }
    return written;
  }
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) {
      return traits_type::not_eof(ch);
    }
    const char c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
  }

 private:
  int fd_;
};

// Creates a part file next to target that nobody else writes; -1 when the folder refuses.
int createPartFile(const std::string& target, std::string& partPath) {
  for (int attempt = 0; attempt < kPartNameAttempts; ++attempt) {
    partPath = attempt == 0 ? target + ".part" : target + "." + std::to_string(attempt) + ".part";
    const int fd = ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

}  // namespace

bool isPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") {
    return false;
  }
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f) {
      return false;
    }
  }
  return true;
}

DownloadResult downloadToFile(const std::string& host, const std::string& path, const std::string& target,
                              std::size_t maxBody, const std::atomic<bool>* cancel, HttpDeadline deadline) {
  std::string partPath;
  const int fd = createPartFile(target, partPath);
  if (fd < 0) {
    return DownloadResult::CannotCreate;
  }
  std::printf("%s\nGetting%s --%s\n", target.c_str(), host.c_str(), path.c_str());
  std::fflush(stdout);

  FdStreamBuf buffer(fd);
  std::ostream out(&buffer);
  bool stored = httpGet(host, path, out, maxBody, cancel, deadline) && ::fsync(fd) == 0;
  stored = (::close(fd) == 0) && stored;
  if (stored && std::rename(partPath.c_str(), target.c_str()) != 0) {
    writeLog(3, LOG_FILE, __LINE__, "Could not replace %s: errno %d\n", target.c_str(), errno);
    stored = false;
  }
  if (!stored) {
    ::unlink(partPath.c_str());
    return DownloadResult::TransferFailed;
  }
  return DownloadResult::Stored;
}

}  // namespace lmr
