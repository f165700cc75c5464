#include "JsonText.h"

namespace tvsk {

std::size_t jsonNestingDepth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) {
        deepest = depth;
        if (deepest > limit) {
          return limit + 1;
        }
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::optional<Json> parseJson(std::string_view text) {
  if (jsonNestingDepth(text) > kMaxJsonDepth) {
    return std::nullopt;
  }
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace tvsk
