// sap_latency [announcements]: SAP on lo end to end through a discovery object, against a bare
// receive thread on the same kind of socket (same group and interface, a port of its own) in the
// same run, plus the session table alone. The two are measured in alternate blocks of
// announcements, so that a load spike on the shared machine weighs on both alike. Run it where lo carries multicast,
// e.g.
//   unshare --net --mount --pid --fork --mount-proc scripts/in-test-namespace.sh build/bench/sap_latency
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugins/annwatch/discovery_sap.h"
#include "testing/sap_announce/sap_sender.h"

namespace {

using steady = std::chrono::steady_clock;
using testing_support::buildSapPacket;
using testing_support::SapMessage;

constexpr uint16_t kBenchPort = 19875;
constexpr uint16_t kBarePort = 19874;
constexpr int kBlock = 100;
constexpr auto kWait = std::chrono::seconds(2);
constexpr int kBurst = 2000;
// The bare thread's socket buffer: enough for the whole burst, so it measures receiving alone.
constexpr int kBareBuffer = 4 << 20;

std::string sdpFor(int index) {
  return "v=0\r\no=- " + std::to_string(1000 + index) + " 1 IN IP4 127.0.0.1\r\ns=Bench stream " +
         std::to_string(index) +
         "\r\nc=IN IP4 239.69.1.2/32\r\nt=0 0\r\nm=audio 5004 RTP/AVP 98\r\na=rtpmap:98 L24/48000/8\r\n"
         "a=ptime:1\r\na=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\na=mediaclk:direct=0\r\n";
}

std::string packetFor(int index, uint16_t hash, const std::string& origin = "127.0.0.1") {
  SapMessage message;
  message.hash = hash;
  message.origin = origin;
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
    if (std::strstr(json, "\"Action\":\"Add\"") == nullptr) return;
    self->count(now);
  }
  void count(steady::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    ++adds;
    last = now;
    arrived.notify_all();
  }
  bool waitFor(int count, steady::time_point* at) {
    std::unique_lock<std::mutex> lock(mutex);
    const bool ok = arrived.wait_for(lock, kWait, [&] { return adds >= count; });
    *at = last;
    return ok;
  }
  int total() {
    std::lock_guard<std::mutex> lock(mutex);
    return adds;
  }
};

// The floor: one thread in a blocking receive on a socket set up as the SAP receiver's, counting
// each datagram as the benchmark counts an "Add".
class BareReceiver {
 public:
  BareReceiver(AddCounter& counter, uint16_t port) : counter_(counter) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    const int off = 0;
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = inet_addr(testing_support::kSapGroup);
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    const timeval tick{0, 50000};
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off)) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kBareBuffer, sizeof(kBareBuffer)) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick)) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0 ||
        bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
      std::perror("bare receiver set-up");
      std::exit(1);
    }
    thread_ = std::thread([this] { run(); });
  }
  ~BareReceiver() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  BareReceiver(const BareReceiver&) = delete;
  BareReceiver& operator=(const BareReceiver&) = delete;

 private:
  void run() {
    std::vector<char> buffer(65536);
    while (!stop_) {
      if (recv(fd_, buffer.data(), buffer.size(), 0) > 0) counter_.count(steady::now());
    }
  }

  AddCounter& counter_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Figures {
  double p50 = 0;
  double p99 = 0;
  double max = 0;
  double burstPerSecond = 0;
  int burstReceived = 0;
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// Figures go here; the discovery object's own console lines go to /dev/null.
std::FILE* out = stderr;

// Each new announcement sent alone and waited for: sent -> counted, in microseconds.
bool latencies(const testing_support::SapSender& sender, AddCounter& counter, int first, int count,
               std::vector<double>& taken) {
  for (int k = first; k < first + count; ++k) {
    const std::string packet = packetFor(k, static_cast<uint16_t>(k + 1));
    const int before = counter.total();
    const auto sent = steady::now();
    sender.send(packet);
    steady::time_point added;
    if (!counter.waitFor(before + 1, &added)) {
      std::fprintf(stderr, "nothing for announcement %d: is multicast on lo?\n", k);
      return false;
    }
    taken.push_back(std::chrono::duration<double, std::micro>(added - sent).count());
  }
  return true;
}

void summarise(const std::vector<double>& taken, Figures& figures) {
  figures.p50 = percentile(taken, 0.5);
  figures.p99 = percentile(taken, 0.99);
  figures.max = percentile(taken, 1.0);
}

// kBurst new announcements from distinct origins sent back to back; how many arrive and how fast.
void burst(const testing_support::SapSender& sender, AddCounter& counter, Figures& figures) {
  std::vector<std::string> packets;
  for (int k = 0; k < kBurst; ++k) {
    const std::string origin = "10.9." + std::to_string(k / 250) + "." + std::to_string(k % 250 + 1);
    packets.push_back(packetFor(100000 + k, static_cast<uint16_t>(k + 1), origin));
  }
  const int before = counter.total();
  const auto started = steady::now();
  for (const auto& packet : packets) sender.send(packet);
  steady::time_point done = started;
  counter.waitFor(before + kBurst, &done);
  figures.burstReceived = counter.total() - before;
  figures.burstPerSecond = figures.burstReceived / std::chrono::duration<double>(done - started).count();
}

void printFigures(const char* what, const Figures& figures) {
  std::fprintf(out, "  %s: p50 %.1f us, p99 %.1f us, max %.1f us; burst of %d: %d received, %.0f per second\n", what,
               figures.p50, figures.p99, figures.max, kBurst, figures.burstReceived, figures.burstPerSecond);
}

int endToEnd(int announcements) {
  annwatch::discovery_settings settings;
  settings.addresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
  settings.port = kBenchPort;
  Figures bare;
  Figures figures;
  {
    AddCounter bareCounter;
    const BareReceiver bareReceiver(bareCounter, kBarePort);
    const testing_support::SapSender bareSender(kBarePort);
    AddCounter counter;
    annwatch::DiscoverySap discovery(0, settings);
    discovery.set_callback(&AddCounter::onMessage, &counter);
    discovery.list_interfaces(0);
    const testing_support::SapSender sender(kBenchPort);
    std::vector<double> bareTaken;
    std::vector<double> taken;
    for (int first = 0; first < announcements; first += kBlock) {
      const int count = std::min(kBlock, announcements - first);
      if (!latencies(bareSender, bareCounter, first, count, bareTaken) ||
          !latencies(sender, counter, first, count, taken)) {
        return 1;
      }
    }
    summarise(bareTaken, bare);
    summarise(taken, figures);
    burst(bareSender, bareCounter, bare);
  }
  {
    AddCounter counter;
    annwatch::DiscoverySap discovery(0, settings);
    discovery.set_callback(&AddCounter::onMessage, &counter);
    discovery.list_interfaces(0);
    const testing_support::SapSender sender(kBenchPort);
    burst(sender, counter, figures);
  }

  AddCounter counter;
  annwatch::DiscoverySap discovery(0, settings);
  discovery.set_callback(&AddCounter::onMessage, &counter);
  discovery.list_interfaces(0);
  const testing_support::SapSender sender(kBenchPort);
  for (int k = 0; k < announcements; ++k) sender.send(packetFor(k, static_cast<uint16_t>(k + 1)));
  steady::time_point done;
  if (!counter.waitFor(announcements, &done)) {
    std::fprintf(stderr, "announcements lost before the repeats\n");
  }
  // Repeats of a known announcement, in bursts the socket buffer holds, each closed by a new one.
  constexpr int kBursts = 200;
  constexpr int kRepeatBurst = 100;
  const std::string repeat = packetFor(0, 1);
  const int before = counter.total();
  const auto started = steady::now();
  for (int b = 0; b < kBursts; ++b) {
    for (int r = 0; r < kRepeatBurst; ++r) sender.send(repeat);
    sender.send(packetFor(announcements + b, static_cast<uint16_t>(announcements + b + 1)));
    if (!counter.waitFor(before + b + 1, &done)) {
      std::fprintf(stderr, "burst %d lost its closing announcement\n", b);
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(done - started).count();

  const auto stopAt = steady::now();
  discovery.stop();
  const double stopMs = std::chrono::duration<double, std::milli>(steady::now() - stopAt).count();
  std::fprintf(out, "end to end on lo, %d announcements (8 channels each), sent -> counted:\n", announcements);
  printFigures("bare receive thread     ", bare);
  printFigures("datagram -> Add callback", figures);
  std::fprintf(out, "  repeats handled: %.0f per second (%d bursts of %d through the socket)\n",
               kBursts * (kRepeatBurst + 1) / seconds, kBursts, kRepeatBurst);
  std::fprintf(out, "  stop with %d sessions: %.1f ms\n", announcements + kBursts, stopMs);
  std::fprintf(out, "ratio p50 Add / bare receive: %.2f (goal: at most 3)\n", figures.p50 / bare.p50);
  std::fprintf(out, "ratio burst throughput bare / Add: %.2f; burst drops: %d (goal: 0)\n",
               bare.burstPerSecond / figures.burstPerSecond, kBurst - figures.burstReceived);
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
