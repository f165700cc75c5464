// plugin-host vextro --plugin PATH --sim [--cycles N] [--action JSON]... [--period-ms N]
//                    [--session NAME]...
// Loads the device-proxy plug-in as the engine does, starts a simulated device in this process,
// probes and creates a proxy for it, registers a callback and prints one line per event:
//   info: <FactoryInfo>   result: {"Entry":..,"Result":..}   state: <Get text>
//   change: <callback text>   request: <each request the simulated device receives>
// Each action list is applied after the first state, in order; its request: and change: lines
// come before its result line. --session makes the simulated device announce a SAP session of
// that name, so a receiver created for it is connected during the cycles. Between cycles the
// simulated device changes (a receiver appears, the rate changes, the receiver goes), so the
// change lines show. VEXTRO_TIMINGS passes through; --period-ms adds its refresh period.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/vextro_sim/sim_device.h"

namespace {

using Json = nlohmann::json;

struct Entries {
  int32_t (*getInfo)(char**) = nullptr;
  int32_t (*initialize)() = nullptr;
  int32_t (*uninitialize)() = nullptr;
  int32_t (*probe)(const char*) = nullptr;
  int32_t (*create)(uint32_t, const char*, void**) = nullptr;
  int32_t (*destroy)(void*) = nullptr;
  int32_t (*action)(void*, const char*) = nullptr;
  int32_t (*get)(void*, const char*, char**, uint32_t*) = nullptr;
  int32_t (*freeBuffer)(void*) = nullptr;
  int64_t (*registerCallback)(void*, void (*)(void*, const char*), void*) = nullptr;
  int32_t (*unregisterCallback)(int64_t) = nullptr;
};

std::mutex outputMutex;

void PrintLine(const char* kind, const std::string& text) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::printf("%s: %s\n", kind, text.c_str());
  std::fflush(stdout);
}

std::string Compact(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

void PrintResult(const char* entry, int64_t result) {
  PrintLine("result", Compact({{"Entry", entry}, {"Result", result}}));
}

void OnChange(void*, const char* message) { PrintLine("change", message); }

template <typename Function>
bool Resolve(void* (*getById)(uint32_t), uint32_t id, Function& out) {
  out = reinterpret_cast<Function>(getById(id));
  return out != nullptr;
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

int Usage() {
  std::fprintf(stderr,
               "usage: plugin-host vextro --plugin PATH --sim [--cycles N] [--action JSON]... [--period-ms N]\n"
               "                          [--session NAME]...\n");
  return 2;
}

}  // namespace

int runVextroHost(int argc, char** argv) {
  std::string pluginPath;
  bool withSim = false;
  int cycles = 0;
  long periodMs = 0;
  std::vector<std::string> actions;
  std::vector<vextro_sim::SimSession> sessions;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--plugin" && hasValue) pluginPath = argv[++i];
    else if (arg == "--sim") withSim = true;
    else if (arg == "--cycles" && hasValue) cycles = std::atoi(argv[++i]);
    else if (arg == "--action" && hasValue) actions.emplace_back(argv[++i]);
    else if (arg == "--period-ms" && hasValue) periodMs = std::atol(argv[++i]);
    else if (arg == "--session" && hasValue) sessions.push_back(AnnouncedSession(argv[++i]));
    else return Usage();
  }
  if (pluginPath.empty() || !withSim) return Usage();
  if (periodMs > 0) {
    // The plug-in reads its timings once, when it is loaded.
    const char* given = std::getenv("VEXTRO_TIMINGS");
    const std::string timings = (given != nullptr && *given != '\0' ? std::string(given) + "," : std::string()) +
                                "period=" + std::to_string(periodMs);
    setenv("VEXTRO_TIMINGS", timings.c_str(), 1);
  }

  void* library = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "plugin-host: %s\n", dlerror());
    return 1;
  }
  auto* getById = reinterpret_cast<void* (*)(uint32_t)>(dlsym(library, "TVSK_Get_By_Id"));
  Entries e;
  if (getById == nullptr || !Resolve(getById, 0, e.getInfo) || !Resolve(getById, 1, e.initialize) ||
      !Resolve(getById, 2, e.uninitialize) || !Resolve(getById, 3, e.probe) || !Resolve(getById, 4, e.create) ||
      !Resolve(getById, 5, e.destroy) || !Resolve(getById, 6, e.action) || !Resolve(getById, 7, e.get) ||
      !Resolve(getById, 8, e.freeBuffer) || !Resolve(getById, 9, e.registerCallback) ||
      !Resolve(getById, 10, e.unregisterCallback)) {
    std::fprintf(stderr, "plugin-host: %s lacks an entry\n", pluginPath.c_str());
    dlclose(library);
    return 1;
  }

  char* info = nullptr;
  e.getInfo(&info);
  PrintLine("info", info != nullptr ? info : "");
  e.freeBuffer(info);
  PrintResult("Initialize", e.initialize());

  int status = 0;
  {
    vextro_sim::SimDevice device;
    device.setSessions(sessions);
    device.setRequestObserver([](const vextro_sim::RecordedRequest& request) {
      Json parameters = Json::array();
      for (const auto& [name, value] : request.parameters) parameters.push_back({name, value});
      PrintLine("request", Compact({{"Path", request.path}, {"Parameters", parameters}}));
    });
    const std::string initJson = Compact({{"Origin", "plugin-host"},
                                          {"Type", "Vextro CANTOR"},
                                          {"Subtypes", Json::array()},
                                          {"Ip", device.address()},
                                          {"Port", device.port()}});
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
      for (const std::string& action : actions) {
        PrintResult("Action", e.action(proxy, action.c_str()));
        PrintState(e, proxy);
      }
      for (int cycle = 1; cycle <= cycles; ++cycle) {
        ChangeDevice(device, cycle);
        // A cycle reads the configuration, then the statistics; its changes follow at once.
        const std::size_t seen = device.requestCount("/statistic.htm");
        while (device.requestCount("/statistic.htm") == seen) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        PrintState(e, proxy);
      }
      PrintResult("UnregisterCallback", e.unregisterCallback(token));
      PrintResult("Delete", e.destroy(proxy));
    }
    device.stop();
  }
  PrintResult("Uninitialize", e.uninitialize());
  dlclose(library);
  return status;
}
