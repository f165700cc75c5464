#include "log/detail/line_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace lumora_log::detail {
namespace {

constexpr const char* kLevelColours[kMaxWrittenLevel + 1] = {
    "\033[31m\033[1m", "\033[31m\033[1m", "\033[31m\033[1m", "\033[31m\033[1m",  // emergency .. error: red
    "\033[33m\033[1m",                                                           // warning: yellow
    "\033[36m\033[1m",                                                           // notice: cyan
    "\033[32m\033[1m",                                                           // information: green
    "\033[35m\033[1m",                                                           // debug: magenta
};
constexpr const char* kPlainEnding = "%s\033[0m";
constexpr const char* kCutEnding = "%s\033[0m...\n";
constexpr size_t kMaxLength = kLineBufferSize - 1;

// Appends with snprintf semantics and keeps `length` within the buffer: snprintf reports the
// length it would have written, and an encoding error reports -1.
class LineBuffer {
 public:
  [[nodiscard]] bool hasRoom() const { return length_ < kMaxLength; }

  void appendTime() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    length_ = std::strftime(buffer_, sizeof(buffer_), "%T  ", &local);
  }

  void append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    appendV(format, args);
    va_end(args);
  }

  void appendV(const char* format, va_list args) {
    if (!hasRoom()) {
      return;
    }
    const int written = std::vsnprintf(buffer_ + length_, sizeof(buffer_) - length_, format, args);
    length_ = std::min(length_ + static_cast<size_t>(std::max(written, 0)), kMaxLength);
    buffer_[length_] = '\0';
  }

  [[nodiscard]] const char* text() const { return buffer_; }

 private:
  char buffer_[kLineBufferSize] = {};
  size_t length_ = 0;
};

bool endsWithLineFeed(const char* text, size_t length) { return length > 0 && text[length - 1] == '\n'; }

}  // namespace

void writeLine(uint32_t level, const LineLayout& layout, const char* format, va_list args) {
  if (level > kMaxWrittenLevel) {
    return;
  }
  LineBuffer line;
  line.appendTime();
  const char* colour = kLevelColours[level];
  if (layout.withLocation) {
    line.append("In %s, line %i: %s", layout.file, layout.line, colour);
  } else {
    line.append("%s", colour);
  }
  if (layout.category != nullptr) {
    line.append(" %s: ", layout.category);
  }
  line.appendV(format, args);

  // A message whose format ended the line but lost its line feed to the cut gets "...\n". The
  // line is judged as printed: up to its first zero, which a "%c" of 0 may have put early.
  const size_t printedLength = std::strlen(line.text());
  const bool cut = format != nullptr && endsWithLineFeed(format, std::strlen(format)) && printedLength > 0 &&
                   !endsWithLineFeed(line.text(), printedLength);
  std::printf(cut ? kCutEnding : kPlainEnding, line.text());
  std::fflush(stdout);
}

}  // namespace lumora_log::detail
