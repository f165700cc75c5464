// Fuzz entry: a sequence of SAP datagrams and clock steps fed to a session table. Records are
// [op][length high][length low][bytes]: op even is a datagram of length bytes from one of four
// sender addresses (op / 2 % 4), op odd moves the clock by length seconds and runs the expiry
// check. The signals must describe the table exactly.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>

#include "sap/impl/listener.h"

namespace {

constexpr size_t kCap = 8;
constexpr unsigned kSenders = 4;

void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto io = std::make_shared<boost::asio::io_context>();
  // Nothing runs the context: the expiry check is driven by hand.
  io->stop();
  int64_t now_ms = 0;
  sap::listener_options options;
  options.clock = [&now_ms] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(now_ms)); };
  options.max_sessions = kCap;
  auto table = sap::listener::create(io, nullptr, 30000, options);

  std::set<sap::session_key> live;
  table->session_added.connect([&live](const sap::session& s) {
    require(live.insert(sap::key_of(s)).second, "added a session that was already there");
  });
  table->session_removed.connect([&live](const sap::session& s) {
    require(live.erase(sap::key_of(s)) == 1, "removed a session that was not there");
  });

  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t op = data[at];
    const size_t length = (size_t{data[at + 1]} << 8) | data[at + 2];
    at += 3;
    if (op % 2 == 0) {
      const size_t take = std::min(length, size - at);
      const boost::asio::ip::udp::endpoint sender(boost::asio::ip::address_v4(0x0A000001u + op / 2 % kSenders), 9875);
      table->on_datagram(sender, std::string(reinterpret_cast<const char*>(data + at), take));
      at += take;
    } else {
      now_ms += static_cast<int64_t>(length) * 1000;
      table->check_expired();
    }
    const auto sessions = table->sessions();
    require(sessions.size() <= kCap, "table above its cap");
    std::set<sap::session_key> stored;
    for (const auto& s : sessions) {
      stored.insert(sap::key_of(s));
      require(s.hash != 0, "hash 0 stored");
    }
    require(stored == live, "signals and table disagree");
    require(table->sender_count() <= std::min<size_t>(kSenders, sessions.size()), "senders outlive their sessions");
  }
  return 0;
}
