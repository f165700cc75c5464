// vextro-sim: a simulated network audio interface on 127.0.0.1 for manual runs.
//   vextro-sim [--port N] [--second] [--name TEXT] [--delay-ms N] [--hang PATH] [--session NAME]...
// Prints the listening addresses, then one line per request; ends on SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "testing/vextro_sim/sim_device.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
  vextro_sim::SimOptions options;
  int delayMs = 0;
  std::string hangPath;
  std::vector<vextro_sim::SimSession> sessions;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue) {
      options.port = static_cast<uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--second") {
      options.secondListener = true;
    } else if (arg == "--name" && hasValue) {
      options.deviceName = argv[++i];
    } else if (arg == "--delay-ms" && hasValue) {
      delayMs = std::atoi(argv[++i]);
    } else if (arg == "--hang" && hasValue) {
      hangPath = argv[++i];
    } else if (arg == "--session" && hasValue) {
      // A SAP session the device announces; a receiver of that name gets connected.
      vextro_sim::SimSession session;
      session.name = argv[++i];
      session.originating = "192.168.1.50";
      session.hash = 4660;
      session.originatingSource = "239.1.2.3";
      sessions.push_back(session);
    } else {
      std::fprintf(stderr, "usage: vextro-sim [--port N] [--second] [--name TEXT] [--delay-ms N] [--hang PATH] "
                   "[--session NAME]...\n");
      return 2;
    }
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  vextro_sim::SimDevice device(options);
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
