// sap_table: the cost of one SAP announcement as the session table of one origin fills up, and
// of a new announcement at the table's cap (replacing an entry heard once, or dropped), each
// against the cost at 10 sessions measured in the same run. No sockets and no subscribers: the
// table alone.
//   sap_table [--rounds N]   (rounds per figure; the median is printed)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "sap/impl/listener.h"
#include "testing/sap_announce/sap_sender.h"

namespace {

using steady = std::chrono::steady_clock;
using testing_support::buildSapPacket;
using testing_support::SapMessage;

constexpr const char* kOrigin = "10.0.0.1";
constexpr size_t kSmallTable = 10;
constexpr size_t kBatch = 64;

std::string sdpFor(int index) {
  return "v=0\r\no=- " + std::to_string(1000 + index) + " 1 IN IP4 10.0.0.1\r\ns=Bench stream " +
         std::to_string(index) +
         "\r\nc=IN IP4 239.69.1.2/32\r\nt=0 0\r\nm=audio 5004 RTP/AVP 98\r\na=rtpmap:98 L24/48000/8\r\n"
         "a=ptime:1\r\na=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\na=mediaclk:direct=0\r\n";
}

std::string packetFor(int index, bool deletion = false) {
  SapMessage message;
  message.origin = kOrigin;
  message.hash = static_cast<uint16_t>(index + 1);
  message.sdp = sdpFor(index);
  message.deletion = deletion;
  return buildSapPacket(message);
}

std::shared_ptr<sap::listener> makeTable(const std::shared_ptr<boost::asio::io_context>& io, size_t cap) {
  sap::listener_options options;
  options.expiry_period = std::chrono::hours(1);
  options.max_sessions = cap;
  return sap::listener::create(io, nullptr, 30000, options);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Microseconds per new announcement while the table holds `sessions` of one origin: each round
// times kBatch new announcements, then deletes them untimed.
double newAnnouncement(size_t sessions, int rounds) {
  auto io = std::make_shared<boost::asio::io_context>();
  io->stop();
  auto table = makeTable(io, sessions + kBatch);
  for (size_t k = 0; k < sessions; ++k) table->on_datagram({}, packetFor(static_cast<int>(k)));
  std::vector<std::string> fresh;
  std::vector<std::string> deletions;
  for (size_t k = 0; k < kBatch; ++k) {
    fresh.push_back(packetFor(static_cast<int>(sessions + k)));
    deletions.push_back(packetFor(static_cast<int>(sessions + k), true));
  }
  std::vector<double> perRound;
  for (int round = 0; round < rounds; ++round) {
    const auto start = steady::now();
    for (const auto& packet : fresh) table->on_datagram({}, packet);
    perRound.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count() / kBatch);
    for (const auto& packet : deletions) table->on_datagram({}, packet);
  }
  if (table->sessions().size() != sessions) {
    std::fprintf(stderr, "table holds %zu sessions, expected %zu\n", table->sessions().size(), sessions);
    std::exit(1);
  }
  return median(perRound);
}

// Microseconds per announcement of a new session at the table's cap: it takes the place of the
// origin's oldest entry heard once, or, when all were heard twice, it is dropped.
double atTheCap(int rounds, bool heardTwice) {
  const size_t cap = sap::listener::kMaxSessions;
  auto io = std::make_shared<boost::asio::io_context>();
  io->stop();
  auto table = makeTable(io, cap);
  for (int pass = 0; pass < (heardTwice ? 2 : 1); ++pass) {
    for (size_t k = 0; k < cap; ++k) table->on_datagram({}, packetFor(static_cast<int>(k)));
  }
  // Dropped news stays news, so one batch serves every round. Replacing news has been replaced in
  // turn by the time its batch comes round again, after twice the table's worth of others.
  const int batches = heardTwice ? 1 : std::min(rounds, static_cast<int>(2 * cap / kBatch));
  std::vector<std::string> news;
  for (size_t k = 0; k < kBatch * static_cast<size_t>(batches); ++k) {
    news.push_back(packetFor(static_cast<int>(cap + k)));
  }
  std::vector<double> perRound;
  for (int round = 0; round < rounds; ++round) {
    const auto batch = news.begin() + static_cast<long>(kBatch) * (round % batches);
    const auto start = steady::now();
    for (auto packet = batch; packet != batch + static_cast<long>(kBatch); ++packet) table->on_datagram({}, *packet);
    perRound.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count() / kBatch);
  }
  const auto statistics = table->statistics();
  const uint64_t expected = kBatch * static_cast<uint64_t>(rounds);
  if ((heardTwice ? statistics.refused : statistics.evicted) != expected) {
    std::fprintf(stderr, "at the cap: %llu evicted, %llu refused; expected %llu %s\n",
                 static_cast<unsigned long long>(statistics.evicted),
                 static_cast<unsigned long long>(statistics.refused), static_cast<unsigned long long>(expected),
                 heardTwice ? "refused" : "evicted");
    std::exit(1);
  }
  return median(perRound);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  // The table's own log lines (the full-table warning) stay out of the figures.
  std::fflush(stdout);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;

  const size_t full = sap::listener::kMaxSessions;
  const double small = newAnnouncement(kSmallTable, rounds);
  const double large = newAnnouncement(full - 1, rounds);
  const double evicted = atTheCap(rounds, false);
  const double capped = atTheCap(rounds, true);
  std::fprintf(stderr, "sap_table: one origin, %zu new announcements per round, %d rounds, median\n", kBatch, rounds);
  std::fprintf(stderr, "  new announcement at %zu sessions:   %8.3f us\n", kSmallTable, small);
  std::fprintf(stderr, "  new announcement at %zu sessions: %8.3f us\n", full, large);
  std::fprintf(stderr, "  replacing one heard once at %zu:  %8.3f us\n", full, evicted);
  std::fprintf(stderr, "  dropped at the cap of %zu:        %8.3f us\n", full, capped);
  std::fprintf(stderr, "ratio %zu / %zu sessions: %.2f (goal: at most 2)\n", full, kSmallTable, large / small);
  std::fprintf(stderr, "ratio replacing at the cap / %zu sessions: %.2f (one removal and one insertion)\n", kSmallTable,
               evicted / small);
  std::fprintf(stderr, "ratio dropped at the cap / %zu sessions: %.2f\n", kSmallTable, capped / small);
  return 0;
}
