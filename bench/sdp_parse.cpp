// Parses per second of a typical AES67 announcement with sdp::parse_session_description and,
// when the GStreamer SDP library was found at configure time, with gst_sdp_message_parse_buffer
// on the same text in the same run. The two parsers run in short rounds taken in turn (which one
// goes first alternates), so a change of the machine's load moves both alike; the ratio is the
// median of the per-pair ratios.
//   sdp_parse [--seconds S] [--round-ms M]   (S seconds per parser in all, default 5; rounds of M
//                                             ms, default 50; medians are printed)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// Keeps the compiler from dropping the parse whose result is otherwise unused.
volatile std::size_t sink = 0;

using Parse = std::function<std::size_t()>;

// Parses per second over one round of about round_seconds.
double round_rate(const Parse& parse, double round_seconds) {
  using clock = std::chrono::steady_clock;
  std::size_t count = 0;
  const auto start = clock::now();
  std::chrono::duration<double> elapsed{};
  do {
    for (int i = 0; i < 64; ++i) {
      sink = sink + parse();
    }
    count += 64;
    elapsed = clock::now() - start;
  } while (elapsed.count() < round_seconds);
  return static_cast<double>(count) / elapsed.count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void print_rate(const char* what, double rate) {
  std::printf("%-34s %12.0f parses/s  %8.3f us/parse\n", what, rate, 1e6 / rate);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5.0;
  double round_ms = 50.0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::max(0.01, std::atof(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--round-ms") == 0) {
      round_ms = std::max(1.0, std::atof(argv[i + 1]));
    }
  }
  const int rounds = std::max(1, static_cast<int>(seconds * 1000.0 / round_ms));
  std::printf("sdp_parse: AES67 SDP of %zu bytes, %d rounds of %.0f ms per parser, taken in turn, median\n",
              kAes67.size(), rounds, round_ms);

  const Parse lumora = [] { return sdp::parse_session_description(kAes67)->media.size(); };
#ifdef LUMORA_HAVE_GST_SDP
  const Parse gstreamer = [] {
    GstSDPMessage* message = nullptr;
    gst_sdp_message_new(&message);
    gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(kAes67.data()), static_cast<guint>(kAes67.size()),
                                 message);
    const std::size_t media = gst_sdp_message_medias_len(message);
    gst_sdp_message_free(message);
    return media;
  };
  round_rate(lumora, round_ms / 1000.0);  // warm-up
  round_rate(gstreamer, round_ms / 1000.0);
  std::vector<double> lumora_rates;
  std::vector<double> gstreamer_rates;
  std::vector<double> ratios;
  for (int round = 0; round < rounds; ++round) {
    double ours = 0;
    double theirs = 0;
    if (round % 2 == 0) {
      ours = round_rate(lumora, round_ms / 1000.0);
      theirs = round_rate(gstreamer, round_ms / 1000.0);
    } else {
      theirs = round_rate(gstreamer, round_ms / 1000.0);
      ours = round_rate(lumora, round_ms / 1000.0);
    }
    lumora_rates.push_back(ours);
    gstreamer_rates.push_back(theirs);
    ratios.push_back(ours / theirs);
  }
  print_rate("sdp::parse_session_description", median(lumora_rates));
  print_rate("gst_sdp_message_parse_buffer", median(gstreamer_rates));
  std::sort(ratios.begin(), ratios.end());
  std::printf("ratio sdp / gstreamer: median %.2f, middle half %.2f .. %.2f over %d pairs (above 1: faster)\n",
              median(ratios), ratios[ratios.size() / 4], ratios[ratios.size() * 3 / 4], rounds);
#else
  round_rate(lumora, round_ms / 1000.0);  // warm-up
  std::vector<double> lumora_rates;
  for (int round = 0; round < rounds; ++round) lumora_rates.push_back(round_rate(lumora, round_ms / 1000.0));
  print_rate("sdp::parse_session_description", median(lumora_rates));
  std::printf("gst_sdp_message_parse_buffer: not measured (gstreamer-sdp-1.0 not found at configure time)\n");
#endif
  return 0;
}
