#include "StateDocument.h"

#include <utility>

#include "WebPage.h"

namespace tvsk {
namespace {

Json emptyConfig() {
  return Json{{"InterfaceFilters", Json::array()},
              {"PluginDirectory", Json::array()},
              {"Plugins", Json::array()},
              {"Role", 0}};
}

// Keys of the document's members, in the byte order a serialisation writes them.
constexpr const char* kConfigKey = "Config";
constexpr const char* kDevicesKey = "Devices";
constexpr const char* kStreamsKey = "Streams";

template <typename Entries>
std::size_t textBytes(const Entries& entries) {
  std::size_t bytes = 0;
  for (const auto& entry : entries) {
    bytes += entry.second->text.size() + 1;
  }
  return bytes;
}

// Appends `"key":` and then the entries' texts as one array; the array's place in `text`.
template <typename Entries>
std::pair<std::size_t, std::size_t> appendArray(std::string& text, const char* key, const Entries& entries) {
  text += std::string(",\"") + key + "\":";
  const std::size_t start = text.size();
  text += '[';
  bool first = true;
  for (const auto& entry : entries) {
    if (!first) {
      text += ',';
    }
    first = false;
    text += entry.second->text;
  }
  text += ']';
  return {start, text.size() - start};
}

template <typename Entries>
std::vector<std::string_view> rowsOf(const Entries& entries) {
  std::vector<std::string_view> rows;
  rows.reserve(entries.size());
  for (const auto& entry : entries) {
    rows.emplace_back(entry.second->row);
  }
  return rows;
}

template <typename Entries>
std::vector<typename Entries::mapped_type> pointersOf(const Entries& entries) {
  std::vector<typename Entries::mapped_type> pointers;
  pointers.reserve(entries.size());
  for (const auto& entry : entries) {
    pointers.push_back(entry.second);
  }
  return pointers;
}

}  // namespace

StateDocument::StateDocument() : config_(emptyConfig()), configText_(compactJson(config_)) {}

StateDocument::~StateDocument() = default;

template <typename Change>
void StateDocument::modify(Change&& change) {
  Shared replaced;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    ++generation_;
    replaced = std::exchange(shared_, Shared{});
  }
  replaced = Shared{};
  released_.releaseDropped();
}

StateDocument::EntryPointer StateDocument::makeEntry(Json value, std::string (*renderRow)(const Json&)) const {
  Entry entry;
  entry.text = compactJson(value);
  entry.row = renderRow(value);
  entry.value = std::move(value);
  ++counts_.entriesSerialised;
  return std::make_shared<const Entry>(std::move(entry));
}

void StateDocument::setConfigMember(const char* name, Json value) {
  modify([&] {
    config_[name] = std::move(value);
    configText_ = compactJson(config_);
    ++counts_.entriesSerialised;
  });
}

void StateDocument::setRole(int role) { setConfigMember("Role", role); }

void StateDocument::setPluginDirectories(const std::vector<std::string>& directories) {
  Json list = Json::array();
  for (const auto& directory : directories) {
    list.push_back(directory);
  }
  setConfigMember("PluginDirectory", std::move(list));
}

void StateDocument::setPlugins(const std::vector<PluginRecord>& plugins) {
  Json list = Json::array();
  for (const auto& plugin : plugins) {
    list.push_back({{"Name", plugin.name}, {"Major", plugin.major}, {"Minor", plugin.minor}});
  }
  setConfigMember("Plugins", std::move(list));
}

void StateDocument::setInterfaceFilters(const std::vector<InterfaceFilter>& filters) {
  Json list = Json::array();
  for (const auto& filter : filters) {
    list.push_back({{"Ip", filter.address}, {"Mask", filter.netmask}});
  }
  setConfigMember("InterfaceFilters", std::move(list));
}

void StateDocument::setDevice(uint32_t id, Json state) {
  if (state.is_object()) {
    // The proxy Id is the key the document is searched by, whatever the plug-in wrote.
    state["Id"] = id;
  }
  EntryPointer entry = makeEntry(std::move(state), renderDeviceRow);
  // The entry it replaces is freed after the mutex is released.
  modify([&] { devices_[id].swap(entry); });
}

void StateDocument::removeDevice(uint32_t id) {
  EntryPointer removed;
  modify([&] {
    const auto found = devices_.find(id);
    if (found != devices_.end()) {
      removed = std::move(found->second);
      devices_.erase(found);
    }
  });
}

bool StateDocument::applyStreamMessage(std::string_view text) {
  auto message = parseJson(text);
  if (!message || !message->is_object()) {
    return false;
  }
  const auto action = message->find("Action");
  const auto id = message->find("Id");
  if (action == message->end() || !action->is_string() || id == message->end() || !id->is_number_integer()) {
    return false;
  }
  const int64_t streamId = id->get<int64_t>();
  EntryPointer entry;
  if (*action == "Remove") {
    modify([&] {
      const auto found = streams_.find(streamId);
      if (found != streams_.end()) {
        entry = std::move(found->second);
        streams_.erase(found);
      }
    });
    return true;
  }
  const auto payload = message->find("Payload");
  if (*action != "Add" || payload == message->end() || !payload->is_object()) {
    return false;
  }
  Json stream = std::move(*payload);
  stream["Id"] = streamId;
  entry = makeEntry(std::move(stream), renderStreamRow);
  modify([&] { streams_[streamId].swap(entry); });
  return true;
}

void StateDocument::clear() {
  std::map<uint32_t, EntryPointer> devices;
  std::map<int64_t, EntryPointer> streams;
  modify([&] {
    config_ = emptyConfig();
    configText_ = compactJson(config_);
    ++counts_.entriesSerialised;
    devices.swap(devices_);
    streams.swap(streams_);
  });
}

std::shared_ptr<const StateDocument::View> StateDocument::view() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shared_.view) {
    return shared_.view;
  }
  // The members' texts joined in the order a serialisation of the whole document writes them.
  auto view = std::make_unique<View>();
  std::string& text = view->text;
  text.reserve(configText_.size() + textBytes(devices_) + textBytes(streams_) + 64);
  text += std::string("{\"") + kConfigKey + "\":";
  const std::size_t configStart = text.size();
  text += configText_;
  const auto devices = appendArray(text, kDevicesKey, devices_);
  const auto streams = appendArray(text, kStreamsKey, streams_);
  text += '}';
  const std::string_view joined = text;
  view->memberTexts.emplace(kConfigKey, joined.substr(configStart, configText_.size()));
  view->memberTexts.emplace(kDevicesKey, joined.substr(devices.first, devices.second));
  view->memberTexts.emplace(kStreamsKey, joined.substr(streams.first, streams.second));
  ++counts_.textsJoined;
  shared_.view = released_.share(std::move(view));
  return shared_.view;
}

std::shared_ptr<const Json> StateDocument::document() const {
  Json config;
  std::vector<EntryPointer> devices;
  std::vector<EntryPointer> streams;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shared_.document) {
      return shared_.document;
    }
    config = config_;
    devices = pointersOf(devices_);
    streams = pointersOf(streams_);
    generation = generation_;
  }
  // Copied together without the mutex, so writers are not held up by it.
  Json deviceList = Json::array();
  for (const auto& entry : devices) {
    deviceList.push_back(entry->value);
  }
  Json streamList = Json::array();
  for (const auto& entry : streams) {
    streamList.push_back(entry->value);
  }
  auto document = released_.share(Json{{kConfigKey, std::move(config)},
                                       {kDevicesKey, std::move(deviceList)},
                                       {kStreamsKey, std::move(streamList)}});
  ++counts_.documentsBuilt;
  std::lock_guard<std::mutex> lock(mutex_);
  if (generation == generation_ && !shared_.document) {
    shared_.document = document;
  }
  return document;
}

std::shared_ptr<const std::string> StateDocument::statusPage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!shared_.page) {
    shared_.page = released_.share(joinStatusPage(config_, rowsOf(devices_), rowsOf(streams_)));
    ++counts_.pagesJoined;
  }
  return shared_.page;
}

StateDocument::WorkCounts StateDocument::workCounts() const {
  WorkCounts counts;
  counts.entriesSerialised = counts_.entriesSerialised;
  counts.textsJoined = counts_.textsJoined;
  counts.documentsBuilt = counts_.documentsBuilt;
  counts.pagesJoined = counts_.pagesJoined;
  return counts;
}

}  // namespace tvsk
