#include "testing/full_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {
namespace {

constexpr const char* kNamespaceMarker = "LUMORA_TEST_NAMESPACE";
constexpr const char* kFillerName = "/.filler";
constexpr std::size_t kFillChunk = 4096;

}  // namespace

FullDisk::FullDisk(std::string folder, std::size_t bytes) : folder_(std::move(folder)) {
  // Outside the test namespace a mount would change the host's tree.
  if (std::getenv(kNamespaceMarker) == nullptr) {
    return;
  }
  std::error_code ignored;
  std::filesystem::create_directories(folder_, ignored);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  mounted_ = mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

FullDisk::~FullDisk() {
  if (mounted_) {
    umount2(folder_.c_str(), MNT_DETACH);
  }
}

void FullDisk::fill() {
  const std::string filler = folder_ + kFillerName;
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    return;
  }
  const std::vector<char> chunk(kFillChunk, 'f');
  // Whole pages first, then single bytes for whatever is left.
  for (std::size_t size = chunk.size(); size > 0; size /= 2) {
    while (write(fd, chunk.data(), size) == static_cast<ssize_t>(size)) {
    }
  }
  close(fd);
}

void FullDisk::release() { unlink((folder_ + kFillerName).c_str()); }

}  // namespace testing_support
