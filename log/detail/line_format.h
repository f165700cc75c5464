#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace lumora_log::detail {

// Highest level that is written; anything above is dropped unformatted.
inline constexpr uint32_t kMaxWrittenLevel = 7;
// One line, time stamp and colour included, terminating zero included.
inline constexpr size_t kLineBufferSize = 1024;

struct LineLayout {
  // Non-null: "In <file>, line <line>: " precedes the colour.
  const char* file = nullptr;
  int32_t line = 0;
  bool withLocation = false;
  // Non-null: " <category>: " follows the colour.
  const char* category = nullptr;
};

// Formats one line into a stack buffer and writes it to stdout with one printf and a flush.
// Levels above kMaxWrittenLevel return before anything is formatted.
void writeLine(uint32_t level, const LineLayout& layout, const char* format, va_list args);

}  // namespace lumora_log::detail
