#include "StateDocument.h"

#include <utility>

namespace tvsk {
namespace {

Json emptyConfig() {
  return Json{{"InterfaceFilters", Json::array()},
              {"PluginDirectory", Json::array()},
              {"Plugins", Json::array()},
              {"Role", 0}};
}

}  // namespace

StateDocument::StateDocument() : config_(emptyConfig()) {}

void StateDocument::setRole(int role) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_["Role"] = role;
  changed();
}

void StateDocument::setPluginDirectories(const std::vector<std::string>& directories) {
  Json list = Json::array();
  for (const auto& directory : directories) {
    list.push_back(directory);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  config_["PluginDirectory"] = std::move(list);
  changed();
}

void StateDocument::setPlugins(const std::vector<PluginRecord>& plugins) {
  Json list = Json::array();
  for (const auto& plugin : plugins) {
    list.push_back({{"Name", plugin.name}, {"Major", plugin.major}, {"Minor", plugin.minor}});
  }
  std::lock_guard<std::mutex> lock(mutex_);
  config_["Plugins"] = std::move(list);
  changed();
}

void StateDocument::setInterfaceFilters(const std::vector<InterfaceFilter>& filters) {
  Json list = Json::array();
  for (const auto& filter : filters) {
    list.push_back({{"Ip", filter.address}, {"Mask", filter.netmask}});
  }
  std::lock_guard<std::mutex> lock(mutex_);
  config_["InterfaceFilters"] = std::move(list);
  changed();
}

void StateDocument::setDevice(uint32_t id, Json state) {
  if (state.is_object()) {
    // The proxy Id is the key the document is searched by, whatever the plug-in wrote.
    state["Id"] = id;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[id] = std::move(state);
  changed();
}

void StateDocument::removeDevice(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.erase(id);
  changed();
}

bool StateDocument::applyStreamMessage(std::string_view text) {
  const auto message = parseJson(text);
  if (!message || !message->is_object()) {
    return false;
  }
  const auto action = message->find("Action");
  const auto id = message->find("Id");
  if (action == message->end() || !action->is_string() || id == message->end() || !id->is_number_integer()) {
    return false;
  }
  const int64_t streamId = id->get<int64_t>();
  if (*action == "Remove") {
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.erase(streamId);
    changed();
    return true;
  }
  const auto payload = message->find("Payload");
  if (*action != "Add" || payload == message->end() || !payload->is_object()) {
    return false;
  }
  Json stream = *payload;
  stream["Id"] = streamId;
  std::lock_guard<std::mutex> lock(mutex_);
  streams_[streamId] = std::move(stream);
  changed();
  return true;
}

void StateDocument::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  config_ = emptyConfig();
  devices_.clear();
  streams_.clear();
  changed();
}

void StateDocument::changed() { view_.reset(); }

std::shared_ptr<const StateDocument::View> StateDocument::view() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (view_) {
    return view_;
  }
  auto view = std::make_shared<View>();
  Json devices = Json::array();
  for (const auto& entry : devices_) {
    devices.push_back(entry.second);
  }
  Json streams = Json::array();
  for (const auto& entry : streams_) {
    streams.push_back(entry.second);
  }
  view->document = Json{{"Config", config_}, {"Devices", std::move(devices)}, {"Streams", std::move(streams)}};
  // The whole text is put together from its members' texts, in the order a dump writes them.
  view->text = "{";
  for (const auto& item : view->document.items()) {
    std::string member = compactJson(item.value());
    view->text += (view->text.size() > 1 ? ",\"" : "\"") + item.key() + "\":" + member;
    view->memberTexts.emplace(item.key(), std::move(member));
  }
  view->text += "}";
  view_ = std::move(view);
  return view_;
}

}  // namespace tvsk
