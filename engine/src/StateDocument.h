#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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
// Every member is guarded by one mutex. Readers share an immutable view, built with its texts on
// the first read after a change, so a read copies and serialises nothing.
class StateDocument {
 public:
  // The document at one moment, with the texts POST /get serves most.
  struct View {
    Json document;
    std::string text;                                             // "$"
    std::map<std::string, std::string, std::less<>> memberTexts;  // "Config", "Devices", "Streams"
  };

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

  [[nodiscard]] std::shared_ptr<const View> view() const;
  [[nodiscard]] Json snapshot() const { return view()->document; }

 private:
  void changed();  // mutex_ held

  mutable std::mutex mutex_;
  mutable std::shared_ptr<const View> view_;
  Json config_;
  std::map<uint32_t, Json> devices_;
  std::map<int64_t, Json> streams_;
};

}  // namespace tvsk
