// Streamer and receiver lists of the device state, and the slot parameter names they share with
// the actions.
#include <algorithm>

#include "plugins/vextro/src/DeviceState.h"
#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/SlotEnables.h"

namespace Vextro {
namespace {

constexpr const char* kServerStreamPrefix = "CONFIG_PARAM_AUDIO_SERVER_STREAM_";
constexpr const char* kClientStreamPrefix = "CONFIG_PARAM_AUDIO_CLIENT_STREAM_";
constexpr int64_t kStreamerState = 2;
constexpr int64_t kReceiverPendingState = 0;
constexpr int64_t kReceiverConfiguredState = 3;

// Channels start..start+count inclusive (count holds the channel count minus one), in 64 bits and
// capped, so a device value near INT32_MAX neither overflows nor builds billions of entries.
std::pair<int64_t, int64_t> MappingRange(int32_t start, int32_t count, const std::string& prefix) {
  const int64_t first = start;
  int64_t end = first + static_cast<int64_t>(count) + 1;
  if (end - first > kMaxMappingEntries) {
    Log("WARNING: channel mapping of '", prefix, "' capped at ", kMaxMappingEntries, " entries");
    end = first + kMaxMappingEntries;
  }
  return {first, end};
}

Json StreamDescription(const ParameterMap& configuration, const std::string& address, const std::string& rtpPort,
                       const std::string& prefix) {
  Json description = Json::object();
  description["Address"] = GetStringParameter(configuration, address, "0.0.0.0");
  description["Port"] = static_cast<int64_t>(GetIntParameter(configuration, rtpPort, 0));
  const int32_t format = GetIntParameter(configuration, prefix + "_FORMAT", -1);
  description["Codec"] = StreamFormatToText(static_cast<uint32_t>(format));
  description["FrameSize"] = static_cast<int64_t>(GetIntParameter(configuration, prefix + "_FRAME_SIZE", 0));
  description["NetworkInterfaceId"] = 0;
  return description;
}

}  // namespace

std::string PortParameterName(int32_t portIndex, const std::string& name) {
  if (portIndex == -1) {
    return name;
  }
  return name + "_PHY" + std::to_string(static_cast<int64_t>(portIndex) + 1);
}

std::string StreamerPrefix(uint32_t slot) {
  return kServerStreamPrefix + std::to_string(static_cast<uint64_t>(slot) + 1);
}

std::string ReceiverPrefix(uint32_t slot) {
  return kClientStreamPrefix + std::to_string(static_cast<uint64_t>(slot) + 1);
}

bool IsReceiverSlotEnabled(const ParameterMap& configuration, uint32_t slot) {
  return GetIntParameter(configuration, ReceiverPrefix(slot) + "_ENABLE", 0) != 0;
}

bool IsStreamerSlotEnabled(const ParameterMap& configuration, uint32_t slot) {
  return GetIntParameter(configuration, StreamerPrefix(slot) + "_ENABLE", 0) != 0;
}

Json BuildStreamers(const DeviceView& view, const ParameterMap& configuration, const ParameterMap& /*statistics*/) {
  SlotEnables enables(configuration);
  return BuildStreamers(view, configuration, enables);
}

Json BuildStreamers(const DeviceView& view, const ParameterMap& configuration, SlotEnables& enables) {
  Json streamers = Json::array();
  for (uint32_t slot = 0; slot < kStreamSlotCount; ++slot) {
    if (!enables.Streamer(slot)) {
      continue;
    }
    const std::string prefix = StreamerPrefix(slot);
    Json entry = Json::object();
    entry["Id"] = static_cast<int64_t>(slot);
    entry["StreamName"] = GetStringParameter(configuration, prefix + "_STREAM_NAME", std::to_string(slot));
    const auto [first, end] = MappingRange(GetIntParameter(configuration, prefix + "_START_CH", 0),
                                           GetIntParameter(configuration, prefix + "_NUM_CH", 0), prefix);
    Json mapping = Json::array();
    for (int64_t channel = first; channel < end; ++channel) {
      mapping.push_back({{"IOGroupId", 0}, {"InputId", channel}});
    }
    entry["Mapping"] = std::move(mapping);
    entry["StreamDescription"] =
        StreamDescription(configuration, PortParameterName(view.portIndex, prefix + "_IP_ADDRESS_DST"),
                          PortParameterName(view.portIndex, prefix + "_RTP_DST"), prefix);
    entry["Status"] = {{"State", kStreamerState}};
    streamers.push_back(std::move(entry));
  }
  return streamers;
}

Json BuildReceivers(const DeviceView& view, const ParameterMap& configuration, const ParameterMap& /*statistics*/) {
  SlotEnables enables(configuration);
  return BuildReceivers(view, configuration, enables);
}

Json BuildReceivers(const DeviceView& view, const ParameterMap& configuration, SlotEnables& enables) {
  Json receivers = Json::array();
  for (uint32_t slot = 0; slot < kStreamSlotCount; ++slot) {
    if (!enables.Receiver(slot)) {
      continue;
    }
    const std::string prefix = ReceiverPrefix(slot);
    const std::string name = GetStringParameter(configuration, prefix + "_STREAM_NAME", std::to_string(slot));
    Json entry = Json::object();
    entry["Id"] = static_cast<int64_t>(slot);
    entry["Name"] = name;
    const auto [first, end] = MappingRange(GetIntParameter(configuration, prefix + "_START_STREAM_CH", 0),
                                           GetIntParameter(configuration, prefix + "_CHANNELS", 0), prefix);
    Json mapping = Json::array();
    for (int64_t channel = first; channel < end; ++channel) {
      mapping.push_back({{"Id", channel}, {"Outputs", Json::array({{{"IOGroupId", 0}, {"OutputId", channel}}})}});
    }
    entry["Mapping"] = std::move(mapping);
    entry["StreamName"] = name;
    entry["PlayOutDelay"] = 0;
    const bool pending = view.pendingReceiverSlots.count(slot) != 0;
    Json status = Json::object();
    status["State"] = pending ? kReceiverPendingState : kReceiverConfiguredState;
    status["StreamDescription"] =
        StreamDescription(configuration, PortParameterName(view.portIndex, prefix + "_DST_IP_ADDRESS"),
                          PortParameterName(view.portIndex, prefix + "_RTP_DST_PORT"), prefix);
    status["SDP"] = "";
    entry["Status"] = std::move(status);
    receivers.push_back(std::move(entry));
  }
  return receivers;
}

}  // namespace Vextro
