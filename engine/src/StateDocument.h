#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "InterfaceFilter.h"
#include "JsonText.h"

namespace tvsk {

// A loaded plug-in as the state document lists it.
struct PluginRecord {
  std::string name;  // file stem
  int64_t major = 0;
  int64_t minor = 0;
};

// The engine's state document, served by POST /get and the web page:
//   {"Config":{"InterfaceFilters":[{"Ip","Mask"}..],"PluginDirectory":[..],"Plugins":[{"Major","Minor","Name"}..],
//              "Role":n},
//    "Devices":[<device state>..] (by proxy Id), "Streams":[{"Id":n,<payload>}..] (by stream Id)}
// Every member is guarded by one mutex; readers take a copy.
class StateDocument {
 public:
  StateDocument();

  void setRole(int role);
  void setPluginDirectories(const std::vector<std::string>& directories);
  void setPlugins(const std::vector<PluginRecord>& plugins);
  void setInterfaceFilters(const std::vector<InterfaceFilter>& filters);
  void setDevice(uint32_t id, Json state);
  void removeDevice(uint32_t id);
  // Applies one "Add" or "Remove" message of the stream-discovery plug-in; false (and nothing
  // changed) when the text is not such a message.
  bool applyStreamMessage(std::string_view text);
  // Back to an empty document.
  void clear();

  [[nodiscard]] Json snapshot() const;

 private:
  mutable std::mutex mutex_;
  Json config_;
  std::map<uint32_t, Json> devices_;
  std::map<int64_t, Json> streams_;
};

}  // namespace tvsk
