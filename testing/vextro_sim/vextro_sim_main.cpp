// vextro-sim: a simulated network audio interface on 127.0.0.1 for manual runs (see --help).
// Prints the listening addresses, then one line per request; ends on SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "testing/command_line.h"
#include "testing/vextro_sim/sim_device.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

constexpr const char* kUsage =
    "usage: vextro-sim [options]\n"
    "Serves a simulated Vextro CANTOR device's web pages on 127.0.0.1 until Ctrl+C.\n"
    "  --port N        TCP port (default: any free port, printed at start)\n"
    "  --second        also listen on 127.0.0.2 as the device's second port (PHY2)\n"
    "  --name TEXT     device name (default Sim)\n"
    "  --session NAME  announce a SAP session NAME; a receiver created for NAME gets connected\n"
    "                  (repeatable)\n"
    "  --delay-ms N    answer every page N ms late\n"
    "  --hang PATH     never answer the page PATH (e.g. /config.htm)\n"
    "  --help          this text\n"
    "http://127.0.0.1:PORT/ lists the pages and the current parameters.\n";

int usageError(const std::string& message) { return lumora_testing::usageError("vextro-sim", message, kUsage); }

bool parseNumber(const char* text, unsigned long max, unsigned long& out) {
  return lumora_testing::parseWholeNumber(text, max, 10, out);
}

}  // namespace

int main(int argc, char** argv) {
  vextro_sim::SimOptions options;
  int delayMs = 0;
  std::string hangPath;
  std::vector<vextro_sim::SimSession> sessions;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--second") {
      options.secondListener = true;
      continue;
    }
    const bool takesValue =
        arg == "--port" || arg == "--name" || arg == "--delay-ms" || arg == "--hang" || arg == "--session";
    if (!takesValue) return usageError("unknown option '" + arg + "'");
    if (i + 1 >= argc) return usageError("option " + arg + " needs a value");
    const char* value = argv[++i];
    unsigned long number = 0;
    if (arg == "--port") {
      if (!parseNumber(value, 65535, number)) return usageError("--port wants a number from 0 to 65535");
      options.port = static_cast<uint16_t>(number);
    } else if (arg == "--name") {
      options.deviceName = value;
    } else if (arg == "--delay-ms") {
      if (!parseNumber(value, 600000, number)) return usageError("--delay-ms wants milliseconds");
      delayMs = static_cast<int>(number);
    } else if (arg == "--hang") {
      hangPath = value;
    } else {
      // A SAP session the device announces; a receiver of that name gets connected.
      vextro_sim::SimSession session;
      session.name = value;
      session.originating = "192.168.1.50";
      session.hash = 4660;
      session.originatingSource = "239.1.2.3";
      sessions.push_back(session);
    }
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::unique_ptr<vextro_sim::SimDevice> running;
  try {
    running = std::make_unique<vextro_sim::SimDevice>(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vextro-sim: %s\n", error.what());
    return 1;
  }
  vextro_sim::SimDevice& device = *running;
  device.setSessions(sessions);
  for (const char* page : {"/config.htm", "/statistic.htm", "/sessions.htm", "/save.htm", "/connectsap.htm"}) {
    vextro_sim::PageFault fault;
    fault.delayMs = delayMs;
    fault.hang = hangPath == page;
    device.setFault(page, fault);
  }
  device.setRequestObserver([](const vextro_sim::RecordedRequest& request) {
    std::string line = request.localAddress + " " + request.path;
    for (const auto& [name, value] : request.parameters) line += " " + name + "=" + value;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  std::printf("listening %s:%u", device.address().c_str(), device.port());
  if (options.secondListener) std::printf(" %s:%u", options.secondAddress.c_str(), device.secondPort());
  std::printf("\n");
  std::fflush(stdout);
  while (stopRequested == 0) {
    ::usleep(100 * 1000);
  }
  device.stop();
  return 0;
}
