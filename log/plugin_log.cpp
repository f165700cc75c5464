#include "log/plugin_log.h"

#include <cstdarg>

#include "log/detail/line_format.h"
#include "platform/console.h"

namespace {
// Colours are enabled when the plug-in is loaded.
[[maybe_unused]] const bool coloursEnabledAtLoad = (enableConsoleColours(), true);
}  // namespace

void writeLog(uint32_t level, const char* file, int32_t line, const char* format, ...) {
  if (level > lumora_log::detail::kMaxWrittenLevel) {
    return;
  }
  const lumora_log::detail::LineLayout layout{file, line, true, nullptr};
  va_list args;
  va_start(args, format);
  lumora_log::detail::writeLine(level, layout, format, args);
  va_end(args);
}

void enableConsoleColours() {
  platform::enableConsoleColours();
}
