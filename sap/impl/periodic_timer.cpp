#include "sap/impl/periodic_timer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/exception.hpp>

namespace sap {

using steady = std::chrono::steady_clock;

namespace {
// A zero period would spin the I/O thread.
constexpr std::chrono::milliseconds kShortestPeriod{1};
}  // namespace

struct periodic_timer::state {
  state(boost::asio::io_context& context, std::string timer_name, std::chrono::milliseconds every,
        bool restart_when_late)
      : io(context),
        timer(context),
        name(std::move(timer_name)),
        period(std::max(every, kShortestPeriod)),
        catch_up(restart_when_late) {}

  boost::asio::io_context& io;
  boost::asio::steady_timer timer;
  const std::string name;
  const std::chrono::milliseconds period;
  const bool catch_up;
  callback fn;
  // Touched on the I/O thread only.
  steady::time_point expiry;
  std::atomic<bool> stop_requested{false};
  std::mutex stopped_mutex;
  std::condition_variable stopped_changed;
  bool stopped = true;

  void set_stopped() {
    std::lock_guard<std::mutex> lock(stopped_mutex);
    stopped = true;
    stopped_changed.notify_all();
  }
};

periodic_timer::periodic_timer(boost::asio::io_context& io, std::string name, std::chrono::milliseconds period,
                               bool catch_up)
    : state_(std::make_shared<state>(io, std::move(name), period, catch_up)) {}

periodic_timer::~periodic_timer() { stop(); }

void periodic_timer::start(callback fn) {
  stop();
  auto s = state_;
  {
    std::lock_guard<std::mutex> lock(s->stopped_mutex);
    s->stopped = false;
  }
  s->stop_requested = false;
  boost::asio::dispatch(s->io, [s, fn = std::move(fn)]() mutable {
    s->fn = std::move(fn);
    s->expiry = steady::now() + s->period;
    arm(s);
  });
}

void periodic_timer::arm(const std::shared_ptr<state>& s) {
  s->timer.expires_at(s->expiry);
  s->timer.async_wait(
      [s](const boost::system::error_code& error) { on_expiry(s, error == boost::asio::error::operation_aborted); });
}

void periodic_timer::on_expiry(const std::shared_ptr<state>& s, bool aborted) {
  if (aborted || s->stop_requested) {
    s->set_stopped();
    return;
  }
  const char* name = s->name.c_str();
  try {
    s->fn();
  } catch (const boost::exception& error) {
    std::printf("[Timer: %s] runtime error: %s\n", name, boost::diagnostic_information(error).c_str());
  } catch (const std::runtime_error& error) {
    const char* what = error.what();
    std::printf("[Timer: %s] runtime error: %s\n", name, (what && *what) ? what : "Unknown exception");
  } catch (const std::exception& error) {
    std::printf("[Timer: %s] exception: %s\n", name, error.what());
  } catch (...) {
    std::printf("[Timer: %s] unknown exception\n", name);
  }
  if (s->stop_requested) {
    s->set_stopped();
    return;
  }
  const steady::time_point now = steady::now();
  const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(now - s->expiry);
  if (!s->catch_up || late <= s->period) {
    s->expiry += s->period;
  } else {
    std::printf("[%s] timer callback takes too long time %llu [ms]; restart timer from now\n", name,
                static_cast<unsigned long long>(late.count()));
    s->expiry = now + s->period;
  }
  std::fflush(stdout);
  arm(s);
}

void periodic_timer::stop() {
  auto s = state_;
  {
    std::lock_guard<std::mutex> lock(s->stopped_mutex);
    if (s->stopped) {
      return;
    }
  }
  s->stop_requested = true;
  if (s->io.get_executor().running_in_this_thread() || s->io.stopped()) {
    // The wait ends on this thread after we return, or never runs again.
    s->timer.cancel();
    return;
  }
  // The timer object belongs to the I/O thread.
  boost::asio::post(s->io, [s] { s->timer.cancel(); });
  std::unique_lock<std::mutex> lock(s->stopped_mutex);
  if (!s->stopped_changed.wait_for(lock, kStopTimeout, [&] { return s->stopped; })) {
    std::printf("[%s] timer never terminates\n", s->name.c_str());
    std::fflush(stdout);
  }
}

}  // namespace sap
