#pragma once

#include <string>

namespace platform {

// Names the calling thread for debuggers and `ps -L`; the kernel keeps at most 15 bytes.
void setThreadName(const std::string& name);

// The calling thread's name as the kernel holds it.
[[nodiscard]] std::string currentThreadName();

}  // namespace platform
