#include "zeroconf/src/service_name.h"

namespace zeroconf {
namespace {

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (size_t position = text.find(from); position != std::string::npos;
       position = text.find(from, position + to.size())) {
    text.replace(position, from.size(), to);
  }
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string unescape_service_name(const std::string& escaped) {
  std::string text = escaped;
  replace_all(text, "\\.", ".");
  std::string result;
  for (size_t index = 0; index < text.size();) {
    if (text[index] == '\\' && index + 1 < text.size() && text[index + 1] == '\\') {
      result.append(text, index, 2);
      index += 2;
    } else if (text[index] == '\\') {
      // Exactly three digits: no sign, no blank (strtol would take those).
      if (text.size() - index < 4 || !is_digit(text[index + 1]) || !is_digit(text[index + 2]) ||
          !is_digit(text[index + 3])) {
        return {};
      }
      const int value = (text[index + 1] - '0') * 100 + (text[index + 2] - '0') * 10 + (text[index + 3] - '0');
      result.push_back(static_cast<char>(value & 0xff));
      index += 4;
    } else {
      result.push_back(text[index]);
      ++index;
    }
  }
  replace_all(result, "\\\\", "\\");
  return result;
}

size_t find_instance_end(const std::string& full_name) {
  size_t backslashes = 0;
  for (size_t index = 0; index < full_name.size(); ++index) {
    if (full_name[index] == '.' && backslashes % 2 == 0) {
      return index;
    }
    backslashes = full_name[index] == '\\' ? backslashes + 1 : 0;
  }
  return std::string::npos;
}

}  // namespace zeroconf
