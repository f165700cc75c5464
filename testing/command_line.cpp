#include "testing/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace lumora_testing {

int usageError(const char* program, const std::string& message, const char* usage) {
  std::fprintf(stderr, "%s: %s\n%s", program, message.c_str(), usage);
  return kUsageErrorStatus;
}

bool parseWholeNumber(const char* text, unsigned long max, int base, unsigned long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text, &end, base);
  return errno == 0 && end != text && *end == '\0' && out <= max;
}

}  // namespace lumora_testing
