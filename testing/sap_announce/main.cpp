// sap-announce --sdp FILE [--hash N] [--delete] [--repeat N] [--interval-ms M]
// Sends SAP announcements (or, with --delete, deletions carrying the o= line) of an SDP file to
// 239.255.255.255:9875 on the loopback interface only.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "testing/command_line.h"
#include "testing/sap_announce/sap_sender.h"
#include "testing/temp_dir.h"

namespace {

constexpr const char* kUsage =
    "usage: sap-announce --sdp FILE [--hash N] [--delete] [--repeat N] [--interval-ms M]\n"
    "Sends SAP announcements of an SDP file to 239.255.255.255:9875 on the loopback interface only.\n"
    "  --sdp FILE       the session description to announce (required)\n"
    "  --hash N         message id hash, decimal or 0x-hex (default 0x1234)\n"
    "  --delete         send a deletion with the SDP's o= line\n"
    "  --repeat N       send N times (default 1)\n"
    "  --interval-ms M  pause between sends (default 1000)\n"
    "  --help           this text\n";

int usage(const std::string& message) { return lumora_testing::usageError("sap-announce", message, kUsage); }

// Decimal or 0x-hex.
bool parseNumber(const char* text, unsigned long max, unsigned long& out) {
  return lumora_testing::parseWholeNumber(text, max, 0, out);
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
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option == "--delete") {
      deletion = true;
      continue;
    }
    if (option != "--sdp" && option != "--hash" && option != "--repeat" && option != "--interval-ms") {
      return usage("unknown option '" + option + "'");
    }
    if (i + 1 >= argc) return usage("option " + option + " needs a value");
    const char* value = argv[++i];
    if (option == "--sdp") {
      sdpFile = value;
    } else if (option == "--hash") {
      if (!parseNumber(value, 0xFFFF, hash)) return usage("--hash wants a number from 0 to 0xFFFF");
    } else if (option == "--repeat") {
      if (!parseNumber(value, 1000000, repeat)) return usage("--repeat wants a count");
    } else if (!parseNumber(value, 3600000, intervalMs)) {
      return usage("--interval-ms wants milliseconds");
    }
  }
  if (sdpFile.empty()) {
    return usage("--sdp FILE is required");
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
