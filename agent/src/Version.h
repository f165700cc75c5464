#pragma once

#include <cstdint>
#include <string>

namespace lmr {

// Version of a program file, from the version record embedded in it.
struct VersionInfo {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  uint32_t build = 0;
  int64_t mtime = 0;  // modification time (whole seconds) of the file last read; 0 = never read
};

// Fills info from the record in the program file at path (empty: the running program). False,
// with info unchanged, when the file's modification time equals info.mtime (already read) or
// the file holds no readable record.
bool readVersion(VersionInfo& info, const std::string& path = {});

// "<major>.<minor>.<patch> b<build>", or "None" when all four are 0.
[[nodiscard]] std::string versionString(const VersionInfo& info);

// Factor by which every window multiplies its pixel sizes; set once at start-up.
extern float dpiScale;

}  // namespace lmr
