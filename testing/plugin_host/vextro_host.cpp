// plugin-host vextro: loads the device-proxy plug-in as the engine does, against the in-process
// simulated device (--sim) or a running device (--device HOST:PORT), probes and creates a proxy,
// registers a callback and prints one line per event:
//   log: <plug-in log file>   info: <FactoryInfo>   result: {"Entry":..,"Result":..}
//   state: <Get text>   change: <callback text>   request: <each request the simulated device receives>
//   warning: <what the plug-in will make of a wrongly shaped action>
// Each action list is applied after the first state, in order; its request: and change: lines
// come before its result line. See kUsage for the options.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/app_data.h"
#include "testing/command_line.h"
#include "testing/plugin_host/action_list_check.h"
#include "testing/temp_dir.h"
#include "testing/vextro_sim/sim_device.h"
#include "tvsk/CompactJson.h"
#include "tvsk/DevicePluginEntries.h"

namespace {

using Json = nlohmann::json;

using Entries = tvsk::DeviceEntryTable;

std::mutex outputMutex;

void PrintLine(const char* kind, const std::string& text) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::printf("%s: %s\n", kind, text.c_str());
  std::fflush(stdout);
}

std::string Compact(const Json& value) { return tvsk::compactJson(value); }

void PrintResult(const char* entry, int64_t result) {
  PrintLine("result", Compact({{"Entry", entry}, {"Result", result}}));
}

std::atomic<int> changesSeen{0};

void OnChange(void*, const char* message) {
  PrintLine("change", message);
  ++changesSeen;
}

// Waits until the simulated device has served one whole refresh cycle from now on: a cycle ends by
// reading the configuration and then the statistics (a receiver set-up before that reads the
// statistics too). False when `limit` passes first.
bool WaitForSimulatedCycle(const vextro_sim::SimDevice& device, std::chrono::milliseconds limit) {
  const std::size_t from = device.requests().size();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto requests = device.requests();
    bool configurationRead = false;
    for (std::size_t i = from; i < requests.size(); ++i) {
      if (requests[i].path == "/config.htm") configurationRead = true;
      if (configurationRead && requests[i].path == "/statistic.htm") return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A running device's requests are not seen here: waits until a change is reported or the period
// and the time a receiver set-up takes have passed.
void WaitForDeviceCycle(std::chrono::milliseconds period) {
  const int before = changesSeen.load();
  const auto deadline = std::chrono::steady_clock::now() + period + std::chrono::milliseconds(2000);
  while (std::chrono::steady_clock::now() < deadline && changesSeen.load() == before) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void PrintState(const Entries& entries, void* proxy) {
  char* buffer = nullptr;
  uint32_t length = 0;
  if (entries.get(proxy, "DeviceState", &buffer, &length) == 0 && buffer != nullptr) {
    PrintLine("state", std::string(buffer, length));
  }
  entries.freeBuffer(buffer);
}

// The device change shown before cycle `cycle` (1-based).
void ChangeDevice(vextro_sim::SimDevice& device, int cycle) {
  switch (cycle % 3) {
    case 1:
      device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_STREAM_NAME", "Host Stream");
      device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", "1");
      break;
    case 2:
      device.setStatistic("STATISTIC_PARAM_STATUS", std::to_string(3U << 28));  // 96 kHz
      break;
    default:
      device.setConfig("CONFIG_PARAM_AUDIO_CLIENT_STREAM_3_ENABLE", "0");
      device.setStatistic("STATISTIC_PARAM_STATUS", std::to_string(1U << 28));
      break;
  }
}

vextro_sim::SimSession AnnouncedSession(const std::string& name) {
  vextro_sim::SimSession session;
  session.name = name;
  session.originating = "192.168.1.50";
  session.hash = 4660;
  session.originatingSource = "239.1.2.3";
  return session;
}

constexpr const char* kUsage =
    "usage: plugin-host vextro --plugin PATH (--sim | --device HOST:PORT) [options]\n"
    "Loads the device-proxy plug-in as the engine does, creates a proxy for one device, applies\n"
    "action lists and prints: log:, info:, result:, state:, change:, request: and warning: lines.\n"
    "  --plugin PATH         vextro.so to load (build/plugins/vextro/vextro.so)\n"
    "  --sim                 start a simulated device in this process; its requests are printed\n"
    "  --device HOST:PORT    use a running device instead, e.g. one vextro-sim serves\n"
    "  --action JSON         an action list to apply after the first state (repeatable, in order)\n"
    "  --action-file PATH    the same, read from a file (testing/examples/*.json)\n"
    "  --cycles N            wait for N refresh cycles after the actions, printing the state after each\n"
    "  --period-ms N         refresh period of the proxy (default 5000)\n"
    "  --session NAME        --sim only: the device announces a SAP session NAME, so a receiver\n"
    "                        created for NAME is connected during the cycles (repeatable)\n"
    "  --sim-changes         --sim only: the device changes by itself before each cycle (a receiver\n"
    "                        appears, the rate changes, the receiver goes), to show change: lines\n"
    "  --help                this text\n"
    "VEXTRO_TIMINGS (e.g. period=300,poll=50,limit=500,connect=500,request=1000, in ms) passes\n"
    "through to the plug-in. The plug-in writes its reasons (e.g. for a Result of -1) to its log\n"
    "file, printed first as \"log: PATH\".\n";

int UsageError(const std::string& message) { return lumora_testing::usageError("plugin-host vextro", message, kUsage); }

struct HostOptions {
  std::string pluginPath;
  bool withSim = false;
  std::string deviceHost;
  uint16_t devicePort = 0;
  int cycles = 0;
  long periodMs = 0;
  std::vector<std::string> actions;
  std::vector<vextro_sim::SimSession> sessions;
  bool simChanges = false;
};

bool ParseCount(const char* text, long max, long& out) {
  unsigned long count = 0;
  if (!lumora_testing::parseWholeNumber(text, static_cast<unsigned long>(max), 10, count)) return false;
  out = static_cast<long>(count);
  return true;
}

// "HOST:PORT"; the last colon separates the port.
bool ParseDevice(const std::string& text, std::string& host, uint16_t& port) {
  const std::size_t colon = text.rfind(':');
  long number = 0;
  if (colon == std::string::npos || colon == 0 || !ParseCount(text.c_str() + colon + 1, 65535, number) || number == 0) {
    return false;
  }
  host = text.substr(0, colon);
  port = static_cast<uint16_t>(number);
  return true;
}

// 0 when the options are complete; otherwise the exit status (after the help or an error line).
int ParseOptions(int argc, char** argv, HostOptions& options, bool& helpShown) {
  bool sessionGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      helpShown = true;
      return 0;
    }
    if (arg == "--sim") {
      options.withSim = true;
      continue;
    }
    if (arg == "--sim-changes") {
      options.simChanges = true;
      continue;
    }
    const bool takesValue = arg == "--plugin" || arg == "--device" || arg == "--action" || arg == "--action-file" ||
                            arg == "--cycles" || arg == "--period-ms" || arg == "--session";
    if (!takesValue) return UsageError("unknown option '" + arg + "'");
    if (i + 1 >= argc) return UsageError("option " + arg + " needs a value");
    const std::string value = argv[++i];
    long number = 0;
    if (arg == "--plugin") {
      options.pluginPath = value;
    } else if (arg == "--device") {
      if (!ParseDevice(value, options.deviceHost, options.devicePort)) {
        return UsageError("--device wants HOST:PORT, e.g. 127.0.0.1:8080");
      }
    } else if (arg == "--action") {
      options.actions.push_back(value);
    } else if (arg == "--action-file") {
      const std::string text = testing_support::readFile(value);
      if (text.empty()) return UsageError("cannot read action file '" + value + "'");
      options.actions.push_back(text);
    } else if (arg == "--cycles") {
      if (!ParseCount(value.c_str(), 1000, number)) return UsageError("--cycles wants a count from 0 to 1000");
      options.cycles = static_cast<int>(number);
    } else if (arg == "--period-ms") {
      if (!ParseCount(value.c_str(), 3600000, number) || number == 0) {
        return UsageError("--period-ms wants milliseconds above 0");
      }
      options.periodMs = number;
    } else {
      options.sessions.push_back(AnnouncedSession(value));
      sessionGiven = true;
    }
  }
  if (options.pluginPath.empty()) return UsageError("--plugin PATH is required");
  if (options.withSim == !options.deviceHost.empty()) return UsageError("give either --sim or --device HOST:PORT");
  if (!options.withSim && (sessionGiven || options.simChanges)) {
    return UsageError("--session and --sim-changes need --sim");
  }
  return 0;
}

// The refresh period the plug-in will use: --period-ms, else VEXTRO_TIMINGS, else its default.
std::chrono::milliseconds RefreshPeriod(long periodMs) {
  if (periodMs > 0) return std::chrono::milliseconds(periodMs);
  const char* timings = std::getenv("VEXTRO_TIMINGS");
  const std::string text = timings != nullptr ? timings : "";
  const std::size_t at = text.find("period=");
  long number = 0;
  if (at != std::string::npos) {
    const std::string value =
        text.substr(at + 7, text.find(',', at) == std::string::npos ? std::string::npos : text.find(',', at) - at - 7);
    if (ParseCount(value.c_str(), 3600000, number)) return std::chrono::milliseconds(number);
  }
  return std::chrono::milliseconds(5000);
}

// Where the plug-in writes its log once a device was accepted (its own folder rule).
std::string PluginLogPath() {
  std::string base = platform::userAppDataDir();
  if (base.empty()) base = ".";
  std::error_code ec;
  const std::filesystem::path path =
      std::filesystem::absolute(std::filesystem::path(base) / "Vextro Technologies" / "vextro", ec);
  return path.string();
}

}  // namespace

int runVextroHost(int argc, char** argv) {
  HostOptions options;
  bool helpShown = false;
  if (const int status = ParseOptions(argc, argv, options, helpShown); status != 0 || helpShown) {
    return status;
  }
  if (options.periodMs > 0) {
    // The plug-in reads its timings once, when it is loaded.
    const char* given = std::getenv("VEXTRO_TIMINGS");
    const std::string timings = (given != nullptr && *given != '\0' ? std::string(given) + "," : std::string()) +
                                "period=" + std::to_string(options.periodMs);
    setenv("VEXTRO_TIMINGS", timings.c_str(), 1);
  }

  void* library = dlopen(options.pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "plugin-host: %s\n", dlerror());
    return 1;
  }
  auto* getById = reinterpret_cast<TVSK_Get_By_Id_Fn>(dlsym(library, TVSK_DEVICE_EXPORT_NAME));
  Entries e;
  if (getById == nullptr || !e.resolve(getById)) {
    std::fprintf(stderr, "plugin-host: %s lacks an entry\n", options.pluginPath.c_str());
    dlclose(library);
    return 1;
  }

  const std::string logPath = PluginLogPath();
  PrintLine("log", logPath);
  char* info = nullptr;
  e.getInfo(&info);
  PrintLine("info", info != nullptr ? info : "");
  e.freeBuffer(info);
  PrintResult("Initialize", e.initialize());

  plugin_host::ActionCheckContext checkContext;
  checkContext.simulatedDevice = options.withSim;
  checkContext.cycles = options.cycles;
  for (const auto& session : options.sessions) checkContext.announcedSessions.insert(session.name);

  int status = 0;
  {
    std::unique_ptr<vextro_sim::SimDevice> device;
    std::string host = options.deviceHost;
    uint16_t port = options.devicePort;
    if (options.withSim) {
      device = std::make_unique<vextro_sim::SimDevice>();
      device->setSessions(options.sessions);
      device->setRequestObserver([](const vextro_sim::RecordedRequest& request) {
        Json parameters = Json::array();
        for (const auto& [name, value] : request.parameters) parameters.push_back({name, value});
        PrintLine("request", Compact({{"Path", request.path}, {"Parameters", parameters}}));
      });
      host = device->address();
      port = device->port();
    }
    const std::string initJson = Compact({{"Origin", "plugin-host"},
                                          {"Type", "Vextro CANTOR"},
                                          {"Subtypes", Json::array()},
                                          {"Ip", host},
                                          {"Port", port}});
    PrintResult("Probe", e.probe(initJson.c_str()));
    void* proxy = nullptr;
    const int32_t created = e.create(7, initJson.c_str(), &proxy);
    PrintResult("Create", created);
    if (created != 0 || proxy == nullptr) {
      status = 1;
    } else {
      const int64_t token = e.registerCallback(proxy, OnChange, nullptr);
      PrintResult("RegisterCallback", token);
      PrintState(e, proxy);
      for (const std::string& action : options.actions) {
        for (const std::string& problem : plugin_host::CheckActionList(action, checkContext)) {
          PrintLine("warning", problem);
        }
        const int32_t result = e.action(proxy, action.c_str());
        PrintResult("Action", result);
        if (result != 0) PrintLine("warning", "the plug-in refused the action list; its reason is in " + logPath);
        PrintState(e, proxy);
      }
      const auto period = RefreshPeriod(options.periodMs);
      for (int cycle = 1; cycle <= options.cycles; ++cycle) {
        if (device) {
          if (options.simChanges) ChangeDevice(*device, cycle);
          // A set-up polls for up to the plug-in's limit (10 s unless VEXTRO_TIMINGS says otherwise).
          if (!WaitForSimulatedCycle(*device, period + std::chrono::seconds(20))) {
            PrintLine("warning", "no refresh cycle reached the simulated device in time");
          }
        } else {
          WaitForDeviceCycle(period);
        }
        // The cycle's changes are reported right after its last request.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        PrintState(e, proxy);
      }
      PrintResult("UnregisterCallback", e.unregisterCallback(token));
      PrintResult("Delete", e.destroy(proxy));
    }
    if (device) device->stop();
  }
  PrintResult("Uninitialize", e.uninitialize());
  dlclose(library);
  return status;
}
