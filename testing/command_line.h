#pragma once

#include <string>

namespace lumora_testing {

// Exit status of a hand tool called with wrong arguments.
constexpr int kUsageErrorStatus = 2;

// Prints "<program>: <message>" and the usage text to stderr; returns kUsageErrorStatus.
int usageError(const char* program, const std::string& message, const char* usage);

// A whole number of `base` (0: decimal, 0x-hex or 0-octal) from 0 to max, with nothing after it.
[[nodiscard]] bool parseWholeNumber(const char* text, unsigned long max, int base, unsigned long& out);

}  // namespace lumora_testing
