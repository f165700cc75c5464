#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

namespace sap_test {

// Multicast tests join only on lo, inside the test namespace where lo is the only interface.
#define SKIP_OUTSIDE_TEST_NAMESPACE()                                               \
  do {                                                                              \
    if (std::getenv("LUMORA_TEST_NAMESPACE") == nullptr) {                          \
      GTEST_SKIP() << "multicast tests run only inside the private test namespace"; \
    }                                                                               \
  } while (false)

// A UDP port nobody uses now, so test cases running in parallel never hear each other.
inline uint16_t freeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Whether a thread of this process carries the name (as ps -L shows it).
inline bool hasThreadNamed(const std::string& wanted) {
  bool found = false;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* entry = readdir(tasks)) {
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    found = found || (std::getline(comm, name) && name == wanted);
  }
  closedir(tasks);
  return found;
}

// An I/O context run by its own thread for the lifetime of the object.
class IoThread {
 public:
  IoThread()
      : io_(std::make_shared<boost::asio::io_context>()),
        guard_(io_->get_executor()),
        thread_([this] { io_->run(); }) {}
  ~IoThread() { stop(); }
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  [[nodiscard]] const std::shared_ptr<boost::asio::io_context>& io() const { return io_; }
  [[nodiscard]] std::thread::id id() const { return thread_.get_id(); }

  void stop() {
    guard_.reset();
    io_->stop();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  std::shared_ptr<boost::asio::io_context> io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::thread thread_;
};

// Collects values from another thread; waits are bounded.
template <typename T>
class Inbox {
 public:
  void push(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(value));
    changed_.notify_all();
  }
  // True once at least count values arrived within the timeout.
  bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
  }
  std::vector<T> items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> items_;
};

// A typical AES67 stream announcement.
inline std::string aes67Sdp(const std::string& name = "Stage", const std::string& version = "1",
                            const std::string& sessionId = "1311738121", const std::string& address = "127.0.0.1") {
  return "v=0\r\n"
         "o=- " +
         sessionId + " " + version + " IN IP4 " + address +
         "\r\n"
         "s=" +
         name +
         "\r\n"
         "c=IN IP4 239.69.1.2/32\r\n"
         "t=0 0\r\n"
         "a=clock-domain:PTPv2 0\r\n"
         "m=audio 5004 RTP/AVP 98\r\n"
         "c=IN IP4 239.69.1.2/32\r\n"
         "a=rtpmap:98 L24/48000/2\r\n"
         "a=ptime:1\r\n"
         "a=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\n"
         "a=mediaclk:direct=0\r\n";
}

}  // namespace sap_test
