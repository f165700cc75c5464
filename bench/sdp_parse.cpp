// Parses per second of a typical AES67 announcement with sdp::parse_session_description and,
// when the GStreamer SDP library was found at configure time, with gst_sdp_message_parse_buffer
// on the same text in the same run.
//   sdp_parse [--seconds S]   (time per measured round; 5 rounds, the median is printed)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sdp/src/parser.h"

#ifdef LUMORA_HAVE_GST_SDP
#include <gst/sdp/gstsdpmessage.h>
#endif

namespace {

const std::string kAes67 =
    "v=0\r\n"
    "o=- 1311738121 1311738121 IN IP4 192.168.10.21\r\n"
    "s=Studio B Mix L-R\r\n"
    "i=2 channels: Left, Right\r\n"
    "c=IN IP4 239.69.10.21/32\r\n"
    "t=0 0\r\n"
    "a=recvonly\r\n"
    "m=audio 5004 RTP/AVP 98\r\n"
    "c=IN IP4 239.69.10.21/32\r\n"
    "a=rtpmap:98 L24/48000/2\r\n"
    "a=ptime:1\r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\n"
    "a=mediaclk:direct=0\r\n";

constexpr int kRounds = 5;

// Keeps the compiler from dropping the parse whose result is otherwise unused.
volatile std::size_t sink = 0;

template <typename Parse>
double parses_per_second(Parse parse, double seconds_per_round) {
  using clock = std::chrono::steady_clock;
  std::vector<double> rates;
  for (int round = 0; round < kRounds; ++round) {
    std::size_t count = 0;
    const auto start = clock::now();
    std::chrono::duration<double> elapsed{};
    do {
      for (int i = 0; i < 256; ++i) {
        sink = sink + parse();
      }
      count += 256;
      elapsed = clock::now() - start;
    } while (elapsed.count() < seconds_per_round);
    rates.push_back(static_cast<double>(count) / elapsed.count());
  }
  std::sort(rates.begin(), rates.end());
  return rates[kRounds / 2];
}

void print_rate(const char* what, double rate) {
  std::printf("%-34s %12.0f parses/s  %8.3f us/parse\n", what, rate, 1e6 / rate);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1.0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::max(0.01, std::atof(argv[i + 1]));
    }
  }
  std::printf("sdp_parse: AES67 SDP of %zu bytes, %d rounds of %.2f s, median\n", kAes67.size(), kRounds, seconds);

  const double lumora = parses_per_second([] { return sdp::parse_session_description(kAes67)->media.size(); }, seconds);
  print_rate("sdp::parse_session_description", lumora);

#ifdef LUMORA_HAVE_GST_SDP
  const double gstreamer = parses_per_second(
      [] {
        GstSDPMessage* message = nullptr;
        gst_sdp_message_new(&message);
        gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(kAes67.data()), static_cast<guint>(kAes67.size()),
                                     message);
        const std::size_t media = gst_sdp_message_medias_len(message);
        gst_sdp_message_free(message);
        return media;
      },
      seconds);
  print_rate("gst_sdp_message_parse_buffer", gstreamer);
  std::printf("ratio sdp / gstreamer: %.2f (above 1: faster)\n", lumora / gstreamer);
#else
  std::printf("gst_sdp_message_parse_buffer: not measured (gstreamer-sdp-1.0 not found at configure time)\n");
#endif
  return 0;
}
