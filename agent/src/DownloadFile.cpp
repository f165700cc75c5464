#include "agent/src/DownloadFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ostream>
#include <streambuf>

#include "agent/src/CatalogueHttp.h"
#include "log/console_log.h"
#include "platform/atomic_file.h"

namespace lmr {
namespace {

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
  // A link at the target is replaced, never written through.
  const platform::ReplaceOutcome outcome = platform::replaceFile(
      target,
      [&](int fd) {
        std::printf("%s\nGetting%s --%s\n", target.c_str(), host.c_str(), path.c_str());
        std::fflush(stdout);
        FdStreamBuf buffer(fd);
        std::ostream out(&buffer);
        // A short write (a full disk) leaves the stream failed.
        return httpGet(host, path, out, maxBody, cancel, deadline) && out.good();
      },
      platform::ReplaceOptions{false});
  switch (outcome.stage) {
    case platform::ReplaceOutcome::Stage::Done: return DownloadResult::Stored;
    case platform::ReplaceOutcome::Stage::Refused:
    case platform::ReplaceOutcome::Stage::Create: return DownloadResult::CannotCreate;
    case platform::ReplaceOutcome::Stage::Fill: return DownloadResult::TransferFailed;
    case platform::ReplaceOutcome::Stage::Write: break;
  }
  writeLog(kLogError, LOG_FILE, __LINE__, "Could not replace %s: %s\n", target.c_str(), outcome.message.c_str());
  return DownloadResult::TransferFailed;
}

}  // namespace lmr
