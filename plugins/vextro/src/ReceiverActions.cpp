// Creating and deleting the device's receiver streams. A created receiver is switched on later,
// by the refresh cycle that finds its session (AutoConfigure.cpp).
#include <optional>

#include "plugins/vextro/src/ChannelSpan.h"
#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {
namespace {

constexpr const char* kAllChannelsUsed = "4294967295";

}  // namespace

void RavennaDeviceProxy::createReceiver(const std::string& streamName, const std::vector<uint32_t>& channels) {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  Log(">> Creating new receiver: '", streamName, "'");
  if (!DeviceConfigurationKnownLocked()) {
    return;
  }
  std::optional<uint32_t> slot;
  for (uint32_t candidate = 0; candidate < kStreamSlotCount && !slot; ++candidate) {
    if (pendingAutoConfigure_.count(candidate) == 0 && !IsReceiverSlotEnabled(configCache_, candidate)) {
      slot = candidate;
    }
  }
  if (!slot) {
    Log("ERROR: can't find free receiver slot");
    return;
  }
  const auto span = ContiguousSpan(channels);
  if (!span) {
    Log("ERROR: Got unexpected mapping channels in createReceiver action. ",
        "Channel indices are not contiguous, as requested");
    return;
  }
  Log("  startChannel: ", span->start, " - channelCount: ", span->count);
  const std::string prefix = ReceiverPrefix(*slot);
  try {
    // "_ENABLE" stays off until the device has connected the stream.
    SaveParameters({
        {prefix + "_STREAM_NAME", streamName},
        {prefix + "_START_STREAM_CH", std::to_string(span->start)},
        {prefix + "_PHY_SELECTOR", std::to_string(portIndex_ > 0 ? portIndex_ : 0)},
        {prefix + "_CHANNELS", std::to_string(span->count - 1)},
        {prefix + "_CH_USE_255_224", kAllChannelsUsed},
        {prefix + "_CH_USE_223_292", kAllChannelsUsed},  // the device's own name for bits 223..192
        {prefix + "_CH_USE_191_160", kAllChannelsUsed},
        {prefix + "_CH_USE_159_128", kAllChannelsUsed},
        {prefix + "_CH_USE_127_96", kAllChannelsUsed},
        {prefix + "_CH_USE_95_64", kAllChannelsUsed},
        {prefix + "_CH_USE_63_32", kAllChannelsUsed},
        {prefix + "_CH_USE_31_0", kAllChannelsUsed},
        {prefix + "_CH_WRITE", "0"},
        {prefix + "_UNICAST", "0"},
        {prefix + "_TRANSFER", "3"},
        {prefix + "_BACKUP_STREAM", "0"},
        {prefix + "_AUTOMATIC_CONFIG", "1"},
    });
    pendingAutoConfigure_[*slot] = AutoConfigureRequest{streamName, span->start, span->count};
    Log("Receiver was successfully created");
  } catch (const std::exception& error) {
    Log("ERROR: Error while setting new device state in createReceiver: ", error.what());
  }
}

void RavennaDeviceProxy::deleteReceiver(uint32_t id) {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  Log(">> Deleting receiver with id: ", id);
  if (id >= kStreamSlotCount) {
    Log("ERROR: invalid receiver index");
    return;
  }
  // A queued set-up would otherwise enable the cleared slot later, with an empty name.
  pendingAutoConfigure_.erase(id);
  const std::string prefix = ReceiverPrefix(id);
  try {
    SaveParameters({{prefix + "_ENABLE", "0"}});
    SaveParameters({{prefix + "_STREAM_NAME", ""},
                    {prefix + "_PHY_SELECTOR", "0"},
                    {prefix + "_START_STREAM_CH", "0"},
                    {prefix + "_CHANNELS", "0"}});
    Log("Receiver was successfully deleted");
  } catch (const std::exception& error) {
    Log("ERROR: Error while setting new device state in deleteReceiver: ", error.what());
  }
}

}  // namespace Vextro
