#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "DeferredRelease.h"
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
// Every member is guarded by one mutex. Each device and stream is serialised, and its row of the
// status page rendered, once when it is stored; the texts readers share are joined from those on
// the first read after a change, so a change costs one entry's serialisation and a read copies and
// serialises nothing. Readers drop outdated texts without freeing them: the next writer does.
class StateDocument {
 public:
  // The document's text at one moment, with the texts POST /get serves most.
  struct View {
    View() = default;
    View(const View&) = delete;  // its member texts point into its text
    View& operator=(const View&) = delete;

    std::string text;                                                  // "$"
    std::map<std::string, std::string_view, std::less<>> memberTexts;  // "Config", "Devices", "Streams": in text
  };

  // How often the costly work was done, for tests and benchmarks.
  struct WorkCounts {
    uint64_t entriesSerialised = 0;  // devices, streams and Config serialised when stored
    uint64_t textsJoined = 0;        // views joined from the stored texts
    uint64_t documentsBuilt = 0;     // whole documents copied together, for other paths
    uint64_t pagesJoined = 0;        // status pages joined from the stored rows
  };

  StateDocument();
  ~StateDocument();
  StateDocument(const StateDocument&) = delete;
  StateDocument& operator=(const StateDocument&) = delete;

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
  // The whole document, for paths without a ready text; built on the first call after a change.
  [[nodiscard]] std::shared_ptr<const Json> document() const;
  // The status page; joined on the first call after a change.
  [[nodiscard]] std::shared_ptr<const std::string> statusPage() const;
  [[nodiscard]] Json snapshot() const { return *document(); }
  [[nodiscard]] WorkCounts workCounts() const;

 private:
  // A device or stream with its compact text and its row of the status page.
  struct Entry {
    Json value;
    std::string text;
    std::string row;
  };
  using EntryPointer = std::shared_ptr<const Entry>;

  // What readers share until the next change; each built on its first read.
  struct Shared {
    std::shared_ptr<const View> view;
    std::shared_ptr<const Json> document;
    std::shared_ptr<const std::string> page;
  };

  struct AtomicCounts {
    std::atomic<uint64_t> entriesSerialised{0};
    std::atomic<uint64_t> textsJoined{0};
    std::atomic<uint64_t> documentsBuilt{0};
    std::atomic<uint64_t> pagesJoined{0};
  };

  [[nodiscard]] EntryPointer makeEntry(Json value, std::string (*renderRow)(const Json&)) const;
  // Applies `change` under the mutex, then frees, with the mutex released, what it replaced.
  template <typename Change>
  void modify(Change&& change);
  void setConfigMember(const char* name, Json value);

  mutable std::mutex mutex_;
  mutable Shared shared_;
  mutable AtomicCounts counts_;
  uint64_t generation_ = 0;  // counts changes
  Json config_;
  std::string configText_;
  std::map<uint32_t, EntryPointer> devices_;
  std::map<int64_t, EntryPointer> streams_;
  // Declared last: destroyed first, so whatever readers still hold is freed at once after.
  mutable DeferredRelease released_;
};

}  // namespace tvsk
