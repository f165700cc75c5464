// plugin-host annwatch --plugin PATH --seconds N [--filter ADDRESS]... [--start-id N]
// Creates a discovery object as the engine does, starts it with a filter list and prints one
// "message: " line per JSON text the plug-in reports, then destroys it after N seconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "engine/include/tvsk/AddressFilterList.h"
#include "testing/command_line.h"
#include "testing/plugin_host/annwatch_host_library.h"

namespace {

constexpr const char* kUsage =
    "usage: plugin-host annwatch --plugin PATH --seconds N [--filter ADDRESS]... [--start-id N]\n"
    "Loads the stream-discovery plug-in as the engine does, listens for SAP announcements on the\n"
    "loopback interface for N seconds and prints one \"message: <JSON>\" line per reported stream;\n"
    "the plug-in's own console lines come between them.\n"
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
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
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
