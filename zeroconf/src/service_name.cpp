#include "zeroconf/src/service_name.h"

#include <cctype>
#include <cstdlib>
#include <optional>

namespace zeroconf {
namespace {

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (size_t position = text.find(from); position != std::string::npos;
       position = text.find(from, position + to.size())) {
    text.replace(position, from.size(), to);
  }
}

// The byte of a "\DDD" escape: the three characters read by strtol, which must take all of
// them; nullopt otherwise.
std::optional<char> escaped_byte(const std::string& text, size_t position) {
  const std::string digits = text.substr(position, 3);
  char* end = nullptr;
  const long value = std::strtol(digits.c_str(), &end, 10);
  if (end != digits.c_str() + 3) {
    return std::nullopt;
  }
  return static_cast<char>(value & 0xff);
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
      const std::optional<char> byte = text.size() - index < 4 ? std::nullopt : escaped_byte(text, index + 1);
      if (!byte) {
        return {};
      }
      result.push_back(*byte);
      index += 4;
    } else {
      result.push_back(text[index]);
      ++index;
    }
  }
  replace_all(result, "\\\\", "\\");
  return result;
}

std::string unescape_domain_name(const std::string& escaped) {
  std::string result;
  for (size_t index = 0; index < escaped.size(); ++index) {
    if (escaped[index] != '\\' || index + 1 == escaped.size()) {
      result.push_back(escaped[index]);
      continue;
    }
    const std::optional<char> byte = escaped.size() - index < 4 ? std::nullopt : escaped_byte(escaped, index + 1);
    if (byte && std::isdigit(static_cast<unsigned char>(escaped[index + 1])) != 0) {
      result.push_back(*byte);
      index += 3;
    } else {
      result.push_back(escaped[++index]);
    }
  }
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
