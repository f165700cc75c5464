#pragma once

#include <cstddef>
#include <string>

namespace testing_support {

// How often `part` stands in `text`, overlapping places included.
inline size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace testing_support
