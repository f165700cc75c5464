#pragma once

#include <cstdint>
#include <string>

namespace platform {

// True while a process with this id exists and has not exited; a zombie (exited, not yet
// reaped) counts as gone. Ids <= 0 name no single process and are never alive, nor does the id
// of a thread other than a process's first one.
[[nodiscard]] bool isProcessAlive(int64_t pid);

// Absolute path of the running program file; empty when it cannot be read.
[[nodiscard]] std::string ownExecutablePath();

// Id of the calling process.
[[nodiscard]] int64_t currentProcessId();

}  // namespace platform
