#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "testing/temp_dir.h"

namespace hostile_test {

// Name lookups of this process (threads started from here on) go to a DNS server on lo that
// reads every query and never answers: a private mount namespace gets its own resolv.conf.
// Needs the test namespace (root, private network); ready() says whether it is in place.
class SilentResolver {
 public:
  SilentResolver() {
    // An address of lo of this process's own, so test programs running side by side never meet.
    const auto pid = static_cast<unsigned>(::getpid());
    const std::string server = "127.53." + std::to_string((pid >> 8) & 0xff) + "." + std::to_string(pid & 0xff);
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    ::inet_pton(AF_INET, server.c_str(), &address.sin_addr);
    timeval wait{0, 100000};
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      return;
    }
    reader_ = std::thread([this] {
      char query[512];
      while (!stop_) {
        static_cast<void>(::recv(socket_, query, sizeof(query), 0));  // read, never answer
      }
    });
    testing_support::writeFile(folder_.path() + "/resolv.conf",
                               "nameserver " + server + "\noptions timeout:10 attempts:3\n");
    ready_ = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             ::mount((folder_.path() + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
  }
  ~SilentResolver() {
    stop_ = true;
    if (reader_.joinable()) {
      reader_.join();
    }
    if (socket_ >= 0) {
      ::close(socket_);
    }
  }
  SilentResolver(const SilentResolver&) = delete;
  SilentResolver& operator=(const SilentResolver&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }

 private:
  testing_support::TempDir folder_;
  int socket_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  bool ready_ = false;
};

}  // namespace hostile_test
