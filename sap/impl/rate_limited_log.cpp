#include "sap/impl/rate_limited_log.h"

#include "log/plugin_log.h"

namespace sap {

rate_limited_log::rate_limited_log(uint32_t level, const char* file, std::string counted,
                                   std::chrono::milliseconds period)
    : level_(level), file_(file), counted_(std::move(counted)), period_(period) {}

bool rate_limited_log::admit(time_point now) {
  if (since_ && now - *since_ < period_) {
    ++held_back_;
    return false;
  }
  write_count(now);
  since_ = now;
  return true;
}

void rate_limited_log::flush(time_point now) {
  if (held_back_ > 0 && now - *since_ >= period_) {
    write_count(now);
    // The next occurrence starts a period of its own.
    since_.reset();
  }
}

void rate_limited_log::write_count(time_point now) {
  if (held_back_ == 0) {
    return;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - *since_).count();
  writeLog(level_, file_, __LINE__, "%llu more %s in the last %lld s\n", static_cast<unsigned long long>(held_back_),
           counted_.c_str(), static_cast<long long>(seconds));
  held_back_ = 0;
}

}  // namespace sap
