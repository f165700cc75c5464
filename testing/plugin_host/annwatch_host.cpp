// plugin-host annwatch --plugin PATH --seconds N [--filter ADDRESS]... [--start-id N]
// Creates a discovery object as the engine does, starts it with a filter list and prints one
// "message: " line per JSON text the plug-in reports, then destroys it after N seconds, or at
// once on SIGINT or SIGTERM.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "engine/include/tvsk/AddressFilterList.h"
#include "testing/command_line.h"
#include "testing/plugin_host/annwatch_host_library.h"

namespace {

constexpr const char* kUsage =
    "usage: plugin-host annwatch --plugin PATH --seconds N [--filter ADDRESS]... [--start-id N]\n"
    "Loads the stream-discovery plug-in as the engine does, listens for SAP announcements on the\n"
    "loopback interface for N seconds (or until SIGINT or SIGTERM) and prints one \"message: <JSON>\"\n"
    "line per reported stream; the plug-in's own console lines come between them.\n"
    "  --plugin PATH       annwatch.so to load (build/plugins/annwatch/annwatch.so)\n"
    "  --seconds N         how long to listen (may have decimals)\n"
    "  --filter ADDRESS    announcements whose origin address is ADDRESS are not reported (repeatable)\n"
    "  --start-id N        first message Id (default 0)\n"
    "  --help              this text\n";

int usage(const std::string& message) { return lumora_testing::usageError("plugin-host annwatch", message, kUsage); }

void printMessage(void*, const char* json) {
  std::printf("message: %s\n", json);
  std::fflush(stdout);
}

// Waits up to seconds, or until SIGINT or SIGTERM (blocked by the caller) arrives.
void listenFor(double seconds, const sigset_t& endSignals) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(left);
    wait.tv_nsec = static_cast<long>((left - std::floor(left)) * 1e9);
    if (sigtimedwait(&endSignals, nullptr, &wait) >= 0 || errno != EINTR) return;
  }
}

}  // namespace

int runAnnwatchHost(int argc, char** argv) {
  std::string plugin;
  double seconds = -1;
  std::string startId;
  tvsk::AddressFilterList filter;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option != "--plugin" && option != "--seconds" && option != "--filter" && option != "--start-id") {
      return usage("unknown option '" + option + "'");
    }
    if (i + 1 >= argc) {
      return usage("option " + option + " needs a value");
    }
    const char* value = argv[++i];
    if (option == "--plugin") {
      plugin = value;
    } else if (option == "--seconds") {
      seconds = std::atof(value);
    } else if (option == "--filter") {
      filter.addresses.insert(value);
    } else if (option == "--start-id") {
      startId = value;
    }
  }
  if (plugin.empty()) {
    return usage("--plugin PATH is required");
  }
  if (seconds < 0) {
    return usage("--seconds N is required");
  }
  // Blocked before the plug-in starts its thread, so only listenFor takes them.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
  try {
    testing_support::AnnwatchLibrary library(plugin);
    const std::string createJson = startId.empty() ? "{}" : "{\"StartId\":" + startId + "}";
    void* discovery = nullptr;
    if (library.create(&discovery, createJson.c_str()) != 1) {
      std::fprintf(stderr, "plugin-host: create failed\n");
      return 1;
    }
    library.setCallback(discovery, &printMessage, nullptr);
    const std::string startJson =
        filter.addresses.empty() ? "{}"
                                 : "{\"ListAddress\":" + std::to_string(reinterpret_cast<uintptr_t>(&filter)) + "}";
    const int started = library.start(discovery, startJson.c_str());
    if (started == 0) {
      listenFor(seconds, endSignals);
    }
    const int destroyed = library.destroy(discovery);
    if (started != 0 || destroyed != 0) {
      std::fprintf(stderr, "plugin-host: start %d, destroy %d\n", started, destroyed);
      return 1;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "plugin-host: %s\n", error.what());
    return 1;
  }
  return 0;
}
