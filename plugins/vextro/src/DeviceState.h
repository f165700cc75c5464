#pragma once

// The device-state document a proxy reports to the engine, built from its fields and the two
// parameter pages of one fetch. Free functions over a plain view, so they need no socket.

#include <cstdint>
#include <set>
#include <string>

#include "plugins/vextro/src/Codecs.h"
#include "plugins/vextro/src/DeviceConfig.h"
#include "plugins/vextro/src/JsonCompat.h"

namespace Vextro {

inline constexpr uint32_t kStreamSlotCount = 32;
// Far above any model's channel count; guards the mapping loops against absurd device values.
inline constexpr int64_t kMaxMappingEntries = 1024;

// What the builders read of a proxy.
struct DeviceView {
  uint32_t id = 0;
  std::string host;
  uint16_t port = 0;
  std::string deviceName;
  bool isRedundant = false;
  int32_t portIndex = -1;  // 0 = PHY1, 1 = PHY2, -1 unknown
  DeviceConfigPtr config;
  std::set<uint32_t> pendingReceiverSlots;  // slots with a queued receiver set-up
};

// name + "_PHY1"/"_PHY2" for a known port, the bare name while the port is unknown.
[[nodiscard]] std::string PortParameterName(int32_t portIndex, const std::string& name);
[[nodiscard]] std::string StreamerPrefix(uint32_t slot);  // "CONFIG_PARAM_AUDIO_SERVER_STREAM_<slot+1>"
[[nodiscard]] std::string ReceiverPrefix(uint32_t slot);  // "CONFIG_PARAM_AUDIO_CLIENT_STREAM_<slot+1>"
[[nodiscard]] bool IsReceiverSlotEnabled(const ParameterMap& configuration, uint32_t slot);
[[nodiscard]] bool IsStreamerSlotEnabled(const ParameterMap& configuration, uint32_t slot);

class SlotEnables;

[[nodiscard]] Json BuildStreamers(const DeviceView& view, const ParameterMap& configuration,
                                  const ParameterMap& statistics);
[[nodiscard]] Json BuildReceivers(const DeviceView& view, const ParameterMap& configuration,
                                  const ParameterMap& statistics);
// The same with the slot flags of one state build.
[[nodiscard]] Json BuildStreamers(const DeviceView& view, const ParameterMap& configuration, SlotEnables& enables);
[[nodiscard]] Json BuildReceivers(const DeviceView& view, const ParameterMap& configuration, SlotEnables& enables);

// Full form for status "OK" (exact bytes), else the unreachable form; "OK" with a redundant
// device gives the redundant form.
[[nodiscard]] Json BuildDeviceState(const DeviceView& view, const ParameterMap& configuration,
                                    const ParameterMap& statistics, const std::string& status);
[[nodiscard]] Json BuildStatus(const DeviceView& view, const ParameterMap& configuration,
                               const ParameterMap& statistics);
[[nodiscard]] Json BuildStatus(const ParameterMap& configuration, const ParameterMap& statistics, SlotEnables& enables);
[[nodiscard]] Json BuildIdentity(const DeviceView& view, const ParameterMap& configuration);
[[nodiscard]] Json BuildNetwork(const DeviceView& view, const ParameterMap& configuration,
                                const ParameterMap& statistics);
[[nodiscard]] Json BuildWebServices(const DeviceView& view);
[[nodiscard]] Json BuildIOGroups(const DeviceView& view, const ParameterMap& configuration,
                                 const ParameterMap& statistics);
[[nodiscard]] Json BuildIOGroup(const std::string& name, int64_t id, uint32_t inputCount, uint32_t outputCount,
                                int32_t sampleRate, const Json& sampleRates, const Json& codecs);

}  // namespace Vextro
