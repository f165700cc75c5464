#pragma once

#include <cstdint>

// The program's version, stored in an ELF section of its own file so that it can be read from
// the file (as from a Windows version resource) without running the program.
namespace lmr {

inline constexpr const char* kVersionSectionName = ".lumora_version";
inline constexpr uint32_t kVersionSignature = 0xFEEF04BD;

// Shaped like the fixed part of a Windows version resource.
struct VersionRecord {
  uint32_t signature;      // kVersionSignature
  uint32_t fileVersionMS;  // major << 16 | minor
  uint32_t fileVersionLS;  // patch << 16 | build
};

}  // namespace lmr
