#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

namespace sap {

// Calls a function at a fixed rate on an I/O context. A late run (the callback or the loop took
// longer than a period) restarts the rate from now when catch-up is on. Exceptions of the callback
// are printed and the timer goes on. Start and stop may be called from any thread.
class periodic_timer {
 public:
  using callback = std::function<void()>;

  // How long stop waits for a wait in progress to end.
  static constexpr std::chrono::milliseconds kStopTimeout{5000};

  periodic_timer(boost::asio::io_context& io, std::string name, std::chrono::milliseconds period, bool catch_up);
  ~periodic_timer();
  periodic_timer(const periodic_timer&) = delete;
  periodic_timer& operator=(const periodic_timer&) = delete;

  // Arms the timer for now + period; a running timer is stopped first.
  void start(callback fn);
  // Cancels the pending wait. Off the I/O thread it waits (bounded) until the wait has ended.
  void stop();

 private:
  struct state;
  static void arm(const std::shared_ptr<state>& s);
  static void on_expiry(const std::shared_ptr<state>& s, bool aborted);

  // Shared with the pending wait, so a stop that times out stays memory-safe.
  std::shared_ptr<state> state_;
};

}  // namespace sap
