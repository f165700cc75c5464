#pragma once

namespace lumora_log {

// The part of a source path behind its last '/' or '\\', as the log prints it.
constexpr const char* baseName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') {
      name = p + 1;
    }
  }
  return name;
}

}  // namespace lumora_log

// File-name argument of a log call made from the current source file.
#define LOG_FILE (::lumora_log::baseName(__FILE__))
