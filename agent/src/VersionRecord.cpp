#include "agent/src/VersionRecord.h"

// Filled in by the build from project(VERSION) and LUMORA_BUILD_NUMBER.
static_assert(LUMORA_VERSION_MAJOR <= 0xFFFF && LUMORA_VERSION_MINOR <= 0xFFFF, "version field exceeds 16 bits");
static_assert(LUMORA_VERSION_PATCH <= 0xFFFF && LUMORA_BUILD_NUMBER <= 0xFFFF, "version field exceeds 16 bits");

// Nothing reads this symbol at run time (the record is read back from the file), so the build
// names it as an undefined symbol of every program that links the agent core: that keeps the
// object in the link.
extern "C" __attribute__((used, section(".lumora_version"))) const lmr::VersionRecord lumora_version_record = {
    lmr::kVersionSignature,
    (uint32_t{LUMORA_VERSION_MAJOR} << 16) | uint32_t{LUMORA_VERSION_MINOR},
    (uint32_t{LUMORA_VERSION_PATCH} << 16) | uint32_t{LUMORA_BUILD_NUMBER},
};
