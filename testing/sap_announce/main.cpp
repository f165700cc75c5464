// sap-announce --sdp FILE [--hash N] [--delete] [--repeat N] [--interval-ms M]
// Sends SAP announcements (or, with --delete, deletions carrying the o= line) of an SDP file to
// 239.255.255.255:9875 on the loopback interface only.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "testing/sap_announce/sap_sender.h"
#include "testing/temp_dir.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: sap-announce --sdp FILE [--hash N] [--delete] [--repeat N] [--interval-ms M]\n"
               "  --hash N         message id hash, decimal or 0x-hex (default 0x1234)\n"
               "  --delete         send a deletion with the SDP's o= line\n"
               "  --repeat N       send N times (default 1)\n"
               "  --interval-ms M  pause between sends (default 1000)\n");
  return 2;
}

bool parseNumber(const char* text, unsigned long max, unsigned long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text, &end, 0);
  return errno == 0 && end != text && *end == '\0' && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sdpFile;
  unsigned long hash = 0x1234;
  unsigned long repeat = 1;
  unsigned long intervalMs = 1000;
  bool deletion = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == "--delete") {
      deletion = true;
    } else if (option == "--sdp" && hasValue) {
      sdpFile = argv[++i];
    } else if (option == "--hash" && hasValue) {
      if (!parseNumber(argv[++i], 0xFFFF, hash)) return usage();
    } else if (option == "--repeat" && hasValue) {
      if (!parseNumber(argv[++i], 1000000, repeat)) return usage();
    } else if (option == "--interval-ms" && hasValue) {
      if (!parseNumber(argv[++i], 3600000, intervalMs)) return usage();
    } else {
      return usage();
    }
  }
  if (sdpFile.empty()) {
    return usage();
  }
  const std::string sdp = testing_support::readFile(sdpFile);
  if (sdp.empty()) {
    std::fprintf(stderr, "sap-announce: cannot read %s\n", sdpFile.c_str());
    return 1;
  }
  try {
    testing_support::SapMessage message;
    message.hash = static_cast<uint16_t>(hash);
    message.deletion = deletion;
    message.sdp = deletion ? testing_support::originLineOf(sdp) : sdp;
    const std::string packet = testing_support::buildSapPacket(message);
    const testing_support::SapSender sender;
    for (unsigned long k = 0; k < repeat; ++k) {
      if (k > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
      }
      sender.send(packet);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sap-announce: %s\n", error.what());
    return 1;
  }
  return 0;
}
