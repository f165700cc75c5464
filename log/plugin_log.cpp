#include "log/plugin_log.h"

#include <cstdarg>

#include "log/detail/line_format.h"
#include "platform/console.h"

namespace {
// Colours are enabled when the plug-in is loaded.
[[maybe_unused]] const bool coloursEnabledAtLoad = (enableConsoleColours(), true);
}  // namespace

void writeLog(uint32_t level, const char* file, int32_t line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  lumora_log::detail::writeLine(level, {file, line, true, nullptr}, format, args);
  va_end(args);
}

void enableConsoleColours() { platform::enableConsoleColours(); }
