#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace sap {

// One kind of per-packet log line, which a flood of packets must not turn into a flood of lines:
// the first occurrence of a period is written, the others are only counted, and their number is
// written once the period is over (before the next occurrence's line, or by flush).
class rate_limited_log {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  // counted names the occurrences in the count line, e.g. "encrypted SAP packets".
  rate_limited_log(uint32_t level, const char* file, std::string counted, std::chrono::milliseconds period);

  // True when this occurrence's own line is to be written now.
  [[nodiscard]] bool admit(time_point now);
  // Writes the count of the occurrences not written, once their period is over.
  void flush(time_point now);
  [[nodiscard]] uint64_t held_back() const { return held_back_; }

 private:
  void write_count(time_point now);

  uint32_t level_;
  const char* file_;
  std::string counted_;
  std::chrono::milliseconds period_;
  // When the current period began: at the last line written.
  std::optional<time_point> since_;
  uint64_t held_back_ = 0;
};

}  // namespace sap
