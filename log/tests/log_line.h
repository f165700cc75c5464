#pragma once

#include <regex>
#include <string>

namespace log_test {

inline const std::string kRed = "\033[31m\033[1m";
inline const std::string kYellow = "\033[33m\033[1m";
inline const std::string kCyan = "\033[36m\033[1m";
inline const std::string kGreen = "\033[32m\033[1m";
inline const std::string kMagenta = "\033[35m\033[1m";
inline const std::string kReset = "\033[0m";

// The "HH:MM:SS  " time stamp that starts every line.
inline bool startsWithTimeStamp(const std::string& line) {
  static const std::regex kTime("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-6][0-9]  ");
  return std::regex_search(line, kTime);
}

// The line without its time stamp, or "<no time stamp>" when it does not start with one.
inline std::string afterTimeStamp(const std::string& line) {
  return startsWithTimeStamp(line) ? line.substr(10) : "<no time stamp>";
}

}  // namespace log_test
