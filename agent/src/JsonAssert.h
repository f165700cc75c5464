#pragma once

// rapidjson's own assert aborts the process on a misused value (wrong type, missing member).
// The agent reads files and engine replies it does not control, so a misuse throws instead and
// is handled like any other failure. Every translation unit that links lumora_agent_core gets
// this header first (forced include), so all rapidjson code in the program agrees on it.

#ifdef RAPIDJSON_RAPIDJSON_H_
#error "rapidjson was included before agent/src/JsonAssert.h"
#endif

namespace lmr {

// Throws std::runtime_error naming the failed condition. Out of line and [[noreturn]] so the
// macro also compiles inside rapidjson's noexcept functions.
[[noreturn]] void jsonAssertFailed(const char* condition);

}  // namespace lmr

#define RAPIDJSON_ASSERT(x) ((x) ? static_cast<void>(0) : ::lmr::jsonAssertFailed(#x))
