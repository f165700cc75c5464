// The engine's action lists: each element names an action by its "Path" and carries its
// arguments in "Data"; the routines run in list order, then the changes are reported once.
#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {
namespace {

constexpr uint32_t kOutOfRange = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kServedIoGroup = 0;

// A JSON integer as a 32-bit id. Anything outside 0..2^32-1 becomes 2^32-1, which every routine
// rejects, instead of its low bits silently naming another slot, rate or channel.
uint32_t IdValue(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<uint64_t>();
    return number <= kOutOfRange ? static_cast<uint32_t>(number) : kOutOfRange;
  }
  const auto number = value.get<int64_t>();
  return number >= 0 && number <= static_cast<int64_t>(kOutOfRange) ? static_cast<uint32_t>(number) : kOutOfRange;
}

// Port and frame size: the low 32 bits, signed.
int32_t Int32Value(const Json& value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value.get<int64_t>())));
}

bool HasUnsigned(const Json& object, const char* member) {
  const auto found = object.find(member);
  return found != object.end() && IsUnsignedInteger(*found);
}

// The member when it is present and passes `check`.
template <typename Check>
const Json* Member(const Json& object, const char* member, Check check) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto found = object.find(member);
  return found != object.end() && check(*found) ? &*found : nullptr;
}

// A channel of IO group 0: an object with unsigned group and channel ids. False (with an error
// line) for a channel id beyond 32 bits, which no device channel has: the whole action fails its
// check rather than have the id cut to another channel.
bool AddChannel(const Json& entry, const char* channelMember, std::vector<uint32_t>& channels) {
  if (!entry.is_object() || !HasUnsigned(entry, "IOGroupId") || !HasUnsigned(entry, channelMember) ||
      IdValue(entry.at("IOGroupId")) != kServedIoGroup) {
    return true;
  }
  const Json& channel = entry.at(channelMember);
  if (channel.get<uint64_t>() > kOutOfRange) {
    Log("Error: ", channelMember, " out of range in mapping element: ", DumpCompact(entry));
    return false;
  }
  channels.push_back(static_cast<uint32_t>(channel.get<uint64_t>()));
  return true;
}

// The mapping's input channels; nothing when an element fails.
std::optional<std::vector<uint32_t>> InputChannels(const Json& mapping) {
  std::vector<uint32_t> channels;
  for (const Json& entry : mapping) {
    if (!AddChannel(entry, "InputId", channels)) {
      return std::nullopt;
    }
  }
  return channels;
}

std::optional<std::vector<uint32_t>> OutputChannels(const Json& mapping) {
  std::vector<uint32_t> channels;
  for (const Json& entry : mapping) {
    if (const Json* outputs = Member(entry, "Outputs", [](const Json& v) { return v.is_array(); })) {
      for (const Json& output : *outputs) {
        if (!AddChannel(output, "OutputId", channels)) {
          return std::nullopt;
        }
      }
    }
  }
  return channels;
}

bool IsString(const Json& value) { return value.is_string(); }
bool IsArray(const Json& value) { return value.is_array(); }
bool IsObject(const Json& value) { return value.is_object(); }

// What a new streamer gets for each field that "StreamDescription" leaves out.
struct StreamDescription {
  std::string address = "0.0.0.0";
  int32_t port = 0;
  std::string codec = "L24";
  int32_t frameSize = 48;

  // The defaults overridden by the members of "StreamDescription" that have the right type.
  static StreamDescription Read(const Json& data) {
    StreamDescription read;
    if (const Json* description = Member(data, "StreamDescription", IsObject)) {
      if (const Json* value = Member(*description, "Address", IsString)) read.address = value->get<std::string>();
      if (const Json* value = Member(*description, "Port", IsSignedInteger)) read.port = Int32Value(*value);
      if (const Json* value = Member(*description, "Codec", IsString)) read.codec = value->get<std::string>();
      if (const Json* value = Member(*description, "FrameSize", IsSignedInteger)) read.frameSize = Int32Value(*value);
    }
    return read;
  }
};

// Each handler checks its action's "Data" and runs the routine; false when the check fails, in
// which case the action is passed over (only a channel id beyond 32 bits gets a line).
using ActionHandler = bool (*)(RavennaDeviceProxy& proxy, const Json& data);

bool CreateStreamer(RavennaDeviceProxy& proxy, const Json& data) {
  const Json* streamName = Member(data, "StreamName", IsString);
  const Json* mapping = Member(data, "Mapping", IsArray);
  if (streamName == nullptr || mapping == nullptr) {
    return false;
  }
  const auto channels = InputChannels(*mapping);
  if (!channels || channels->empty()) {
    return false;
  }
  const StreamDescription description = StreamDescription::Read(data);
  proxy.createStreamer(streamName->get<std::string>(), *channels, description.address, description.port,
                       description.codec, description.frameSize);
  return true;
}

bool CreateReceiver(RavennaDeviceProxy& proxy, const Json& data) {
  const Json* streamName = Member(data, "StreamName", IsString);
  const Json* mapping = Member(data, "Mapping", IsArray);
  if (streamName == nullptr || mapping == nullptr) {
    return false;
  }
  const auto channels = OutputChannels(*mapping);
  if (!channels || channels->empty()) {
    return false;
  }
  proxy.createReceiver(streamName->get<std::string>(), *channels);
  return true;
}

bool DeleteStreamer(RavennaDeviceProxy& proxy, const Json& data) {
  const Json* id = Member(data, "Id", IsSignedInteger);
  if (id == nullptr) {
    return false;
  }
  proxy.deleteStreamer(IdValue(*id));
  return true;
}

bool DeleteReceiver(RavennaDeviceProxy& proxy, const Json& data) {
  const Json* id = Member(data, "Id", IsSignedInteger);
  if (id == nullptr) {
    return false;
  }
  proxy.deleteReceiver(IdValue(*id));
  return true;
}

bool SetSampleRate(RavennaDeviceProxy& proxy, const Json& data) {
  const Json* rate = Member(data, "SampleRate", IsUnsignedInteger);
  if (rate == nullptr) {
    return false;
  }
  proxy.setSampleRate(IdValue(*rate));
  return true;
}

struct ActionName {
  const char* text;
  ActionHandler handler;
};

// Tried in this order; the first one found anywhere in the Path decides.
constexpr std::array<ActionName, 5> kActionNames = {{
    {"Actions.CreateStreamer", CreateStreamer},
    {"Actions.DeleteStreamer", DeleteStreamer},
    {"Actions.CreateReceiver", CreateReceiver},
    {"Actions.DeleteReceiver", DeleteReceiver},
    {"Actions.SetSampleRate", SetSampleRate},
}};

}  // namespace

int32_t RavennaDeviceProxy::ApplyActionList(const std::string& actionList) {
  Json document;
  try {
    document = ParseJsonDocument(actionList);
  } catch (const std::exception& error) {
    Log("Error: failed to parse actionList JSON: ", error.what());
    return -1;
  }
  if (!document.is_array()) {
    Log("Error: passed actionList is not an array. Converting...");
    document = Json::array({std::move(document)});
  }
  bool ran = false;
  int32_t result = 0;
  try {
    for (const Json& element : document) {
      if (!element.is_object() || !element.contains("Data") || !element.contains("Path")) {
        // The elements before it stay applied; their changes are still reported below.
        Log("Error: invalid action element: ", DumpCompact(element));
        result = -1;
        break;
      }
      if (DispatchAction(element)) {
        ran = true;
      }
    }
  } catch (const std::exception& error) {
    Log("Error: failed to apply action: ", error.what());
    result = -1;
  }
  if (ran) {
    try {
      RefreshStateFromCaches();
    } catch (const std::exception& error) {
      Log("Error: failed to report the changes of the actions: ", error.what());
      result = -1;
    }
  }
  return result;
}

bool RavennaDeviceProxy::DispatchAction(const Json& element) {
  const std::string path = AsText(element.at("Path"));
  const auto name = std::find_if(kActionNames.begin(), kActionNames.end(), [&path](const ActionName& candidate) {
    return path.find(candidate.text) != std::string::npos;
  });
  if (name == kActionNames.end()) {
    Log("Warning: Unknown or unexpected action: ", DumpCompact(element));
    return false;
  }
  return name->handler(*this, element.at("Data"));
}

}  // namespace Vextro
