#include "testing/plugin_host/action_list_check.h"

#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

namespace plugin_host {
namespace {

using Json = nlohmann::json;

constexpr const char* kStreamerMapping = R"([{"IOGroupId":0,"InputId":0},{"IOGroupId":0,"InputId":1}])";
constexpr const char* kReceiverMapping = R"([{"Id":0,"Outputs":[{"IOGroupId":0,"OutputId":0}]}])";
constexpr const char* kKnownPaths =
    "Actions.CreateStreamer, Actions.DeleteStreamer, Actions.CreateReceiver, Actions.DeleteReceiver, "
    "Actions.SetSampleRate";
constexpr uint64_t kLargestChannel = std::numeric_limits<uint32_t>::max();

bool IsUnsigned(const Json* value) {
  return value != nullptr && value->is_number_integer() && (value->is_number_unsigned() || value->get<int64_t>() >= 0);
}

const Json* Find(const Json& object, const char* member) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(member);
  return found == object.end() ? nullptr : &*found;
}

// Problems of one channel entry ({"IOGroupId":0,"<channelMember>":N}); counts usable channels.
void CheckChannel(const Json& entry, const char* channelMember, const std::string& where,
                  std::vector<std::string>& problems, int& usable, bool& refused) {
  const Json* group = Find(entry, "IOGroupId");
  const Json* channel = Find(entry, channelMember);
  if (!IsUnsigned(group) || !IsUnsigned(channel)) {
    problems.push_back(where + " is not {\"IOGroupId\":0,\"" + channelMember + "\":N} with unsigned numbers");
  } else if (channel->get<uint64_t>() > kLargestChannel) {
    problems.push_back(where + ": " + channelMember + " is beyond 32 bits; the action is refused");
    refused = true;
  } else if (group->get<uint64_t>() != 0) {
    problems.push_back(where + ": only IOGroupId 0 is served; this channel is passed over");
  } else {
    ++usable;
  }
}

void CheckCreate(const Json& data, bool receiver, const std::string& where, const ActionCheckContext& context,
                 std::vector<std::string>& problems) {
  const Json* name = Find(data, "StreamName");
  const Json* mapping = Find(data, "Mapping");
  if (name == nullptr || !name->is_string()) {
    problems.push_back(where + ": \"Data\" needs \"StreamName\" as a text; nothing is created");
  }
  const std::string example = receiver ? kReceiverMapping : kStreamerMapping;
  if (mapping == nullptr || !mapping->is_array()) {
    problems.push_back(where + ": \"Data\" needs \"Mapping\" as an array such as " + example + "; nothing is created");
    return;
  }
  int usable = 0;
  bool refused = false;
  std::size_t index = 0;
  for (const Json& entry : *mapping) {
    const std::string at = where + " Mapping[" + std::to_string(index++) + "]";
    if (receiver) {
      const Json* outputs = Find(entry, "Outputs");
      if (outputs == nullptr || !outputs->is_array()) {
        problems.push_back(at +
                           " is not {\"Id\":N,\"Outputs\":[{\"IOGroupId\":0,\"OutputId\":N}]} (a receiver's "
                           "mapping is nested; " +
                           example + ")");
        continue;
      }
      std::size_t output = 0;
      for (const Json& channel : *outputs) {
        CheckChannel(channel, "OutputId", at + ".Outputs[" + std::to_string(output++) + "]", problems, usable, refused);
      }
    } else if (Find(entry, "Outputs") != nullptr) {
      problems.push_back(at + " is a receiver's mapping; a streamer's is flat: " + example);
    } else {
      CheckChannel(entry, "InputId", at, problems, usable, refused);
    }
  }
  if (refused) {
    return;
  }
  if (usable == 0) {
    problems.push_back(where + ": the mapping names no channel of IO group 0; nothing is created");
    return;
  }
  if (receiver && name != nullptr && name->is_string()) {
    const std::string stream = name->get<std::string>();
    if (context.simulatedDevice && context.announcedSessions.count(stream) == 0) {
      problems.push_back(where + ": the simulated device announces no session '" + stream + "'; add --session '" +
                         stream + "' and --cycles 1 so the receiver gets connected");
    } else if (context.cycles == 0) {
      problems.push_back(where + ": a receiver is connected by a later refresh cycle; add --cycles 1 to see it");
    }
  }
}

void CheckElement(const Json& element, const std::string& where, const ActionCheckContext& context,
                  std::vector<std::string>& problems) {
  const Json* path = Find(element, "Path");
  const Json* data = Find(element, "Data");
  if (path == nullptr || data == nullptr) {
    problems.push_back(where +
                       " is not {\"Path\":\"Actions.<Name>\",\"Data\":{...}}; the plug-in stops the list "
                       "there (Result -1)");
    return;
  }
  const std::string text = path->is_string() ? path->get<std::string>() : path->dump();
  const auto names = [&](const char* action) { return text.find(action) != std::string::npos; };
  // The same order as the plug-in tries them.
  if (names("Actions.CreateStreamer")) {
    CheckCreate(*data, false, where, context, problems);
  } else if (names("Actions.DeleteStreamer") || names("Actions.DeleteReceiver")) {
    const Json* id = Find(*data, "Id");
    if (id == nullptr || !id->is_number_integer()) {
      problems.push_back(where + ": \"Data\" needs \"Id\" as a whole number; nothing is deleted");
    }
  } else if (names("Actions.CreateReceiver")) {
    CheckCreate(*data, true, where, context, problems);
  } else if (names("Actions.SetSampleRate")) {
    if (!IsUnsigned(Find(*data, "SampleRate"))) {
      problems.push_back(where +
                         ": \"Data\" needs \"SampleRate\" as an unsigned number such as 96000; "
                         "nothing is set");
    }
  } else {
    problems.push_back(where + ": unknown Path '" + text + "' (known: " + kKnownPaths + "); passed over");
  }
}

}  // namespace

std::vector<std::string> CheckActionList(const std::string& text, const ActionCheckContext& context) {
  std::vector<std::string> problems;
  const Json document = Json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    problems.push_back("the action list is not JSON; the plug-in refuses it (Result -1)");
    return problems;
  }
  const Json list = document.is_array() ? document : Json::array({document});
  std::size_t index = 0;
  for (const Json& element : list) {
    CheckElement(element, "action " + std::to_string(++index), context, problems);
  }
  return problems;
}

}  // namespace plugin_host
