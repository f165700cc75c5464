#include "log/console_log.h"

#include <cstdarg>
#include <iostream>

#include "log/detail/line_format.h"
#include "platform/console.h"

namespace {
// Colours are enabled before main, as soon as the program is loaded.
[[maybe_unused]] const bool coloursEnabledAtLoad = (enableConsoleColours(), true);
}  // namespace

void writeLog(uint32_t level, const char* file, int32_t line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  lumora_log::detail::writeLine(level, {file, line, false, nullptr}, format, args);
  va_end(args);
}

void writeLogCategory(const char* category, uint32_t level, const char* file, int32_t line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  lumora_log::detail::writeLine(level, {file, line, true, category}, format, args);
  va_end(args);
}

void openConsole() {
  platform::openConsole();
  std::ios::sync_with_stdio(true);
  enableConsoleColours();
}

void enableConsoleColours() { platform::enableConsoleColours(); }
