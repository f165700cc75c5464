// sap_latency [announcements]: SAP on lo end to end through a discovery object, plus the
// session table alone. Run it where lo carries multicast, e.g.
//   unshare --net --mount --pid --fork --mount-proc scripts/in-test-namespace.sh build/bench/sap_latency
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/annwatch/discovery_sap.h"
#include "testing/sap_announce/sap_sender.h"

namespace {

using steady = std::chrono::steady_clock;
using testing_support::buildSapPacket;
using testing_support::SapMessage;

constexpr uint16_t kBenchPort = 19875;
constexpr auto kWait = std::chrono::seconds(2);

std::string sdpFor(int index) {
  return "v=0\r\no=- " + std::to_string(1000 + index) + " 1 IN IP4 127.0.0.1\r\ns=Bench stream " +
         std::to_string(index) +
         "\r\nc=IN IP4 239.69.1.2/32\r\nt=0 0\r\nm=audio 5004 RTP/AVP 98\r\na=rtpmap:98 L24/48000/8\r\n"
         "a=ptime:1\r\na=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\na=mediaclk:direct=0\r\n";
}

std::string packetFor(int index, uint16_t hash) {
  SapMessage message;
  message.hash = hash;
  message.sdp = sdpFor(index);
  return buildSapPacket(message);
}

// Counts the "Add" messages and remembers when the last one came.
struct AddCounter {
  std::mutex mutex;
  std::condition_variable arrived;
  int adds = 0;
  steady::time_point last;

  static void onMessage(void* user, const char* json) {
    auto* self = static_cast<AddCounter*>(user);
    const auto now = steady::now();
    if (std::string(json).find("\"Action\":\"Add\"") == std::string::npos) return;
    std::lock_guard<std::mutex> lock(self->mutex);
    ++self->adds;
    self->last = now;
    self->arrived.notify_all();
  }
  bool waitFor(int count, steady::time_point* at) {
    std::unique_lock<std::mutex> lock(mutex);
    const bool ok = arrived.wait_for(lock, kWait, [&] { return adds >= count; });
    *at = last;
    return ok;
  }
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// Figures go here; the discovery object's own console lines go to /dev/null.
std::FILE* out = stderr;

int endToEnd(int announcements) {
  annwatch::discovery_settings settings;
  settings.addresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
  settings.port = kBenchPort;
  AddCounter counter;
  annwatch::DiscoverySap discovery(0, settings);
  discovery.set_callback(&AddCounter::onMessage, &counter);
  discovery.list_interfaces(0);
  const testing_support::SapSender sender(kBenchPort);

  std::vector<double> latencies;
  for (int k = 0; k < announcements; ++k) {
    const std::string packet = packetFor(k, static_cast<uint16_t>(k + 1));
    const auto sent = steady::now();
    sender.send(packet);
    steady::time_point added;
    if (!counter.waitFor(k + 1, &added)) {
      std::fprintf(stderr, "no Add for announcement %d: is multicast on lo?\n", k);
      return 1;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(added - sent).count());
  }

  // Repeats of a known announcement, in bursts the socket buffer holds, each closed by a new one.
  constexpr int kBursts = 200;
  constexpr int kBurst = 100;
  const std::string repeat = packetFor(0, 1);
  const auto started = steady::now();
  steady::time_point done = started;
  for (int b = 0; b < kBursts; ++b) {
    for (int r = 0; r < kBurst; ++r) sender.send(repeat);
    sender.send(packetFor(announcements + b, static_cast<uint16_t>(announcements + b + 1)));
    if (!counter.waitFor(announcements + b + 1, &done)) {
      std::fprintf(stderr, "burst %d lost its closing announcement\n", b);
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(done - started).count();

  const auto stopAt = steady::now();
  discovery.stop();
  const double stopMs = std::chrono::duration<double, std::milli>(steady::now() - stopAt).count();
  std::fprintf(out, "end to end on lo, %d announcements (8 channels each):\n", announcements);
  std::fprintf(out, "  datagram sent -> Add in callback: p50 %.1f us, p99 %.1f us, max %.1f us\n",
               percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0));
  std::fprintf(out, "  repeats handled: %.0f per second (%d bursts of %d through the socket)\n",
               kBursts * (kBurst + 1) / seconds, kBursts, kBurst);
  std::fprintf(out, "  stop with %d sessions: %.1f ms\n", announcements + kBursts, stopMs);
  return 0;
}

void tableAlone() {
  auto io = std::make_shared<boost::asio::io_context>();
  io->stop();
  sap::listener_options options;
  options.expiry_period = std::chrono::hours(1);
  auto table = sap::listener::create(io, nullptr, 30000, options);
  std::vector<std::string> packets;
  for (int k = 0; k < static_cast<int>(sap::listener::kMaxSessions); ++k) {
    packets.push_back(packetFor(k, static_cast<uint16_t>(k + 1)));
  }
  const size_t heapPackets = mallinfo2().uordblks;
  const auto fillStart = steady::now();
  for (const auto& packet : packets) table->on_datagram({}, packet);
  const double fillSeconds = std::chrono::duration<double>(steady::now() - fillStart).count();
  const size_t heapFull = mallinfo2().uordblks;

  constexpr int kRepeats = 1000000;
  const auto repeatStart = steady::now();
  for (int r = 0; r < kRepeats; ++r) table->on_datagram({}, packets[static_cast<size_t>(r) % packets.size()]);
  const double repeatSeconds = std::chrono::duration<double>(steady::now() - repeatStart).count();

  std::fprintf(out, "session table alone (no sockets, no subscribers):\n");
  std::fprintf(out, "  new announcements: %.0f per second\n", packets.size() / fillSeconds);
  std::fprintf(out, "  repeats: %.0f per second\n", kRepeats / repeatSeconds);
  std::fprintf(out, "  memory at the cap of %zu sessions: %.1f MiB, %.0f bytes per session (SDP %zu bytes)\n",
               packets.size(), (heapFull - heapPackets) / 1048576.0,
               static_cast<double>(heapFull - heapPackets) / static_cast<double>(packets.size()), sdpFor(0).size());
}

}  // namespace

int main(int argc, char** argv) {
  const int announcements = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
  std::fflush(stdout);
  const int figures = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
  out = fdopen(figures, "w");
  tableAlone();
  return endToEnd(announcements);
}
