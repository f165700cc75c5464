// Creating and deleting the device's sender streams.
#include <optional>

#include <boost/asio/ip/address_v4.hpp>

#include "plugins/vextro/src/ChannelSpan.h"
#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {
namespace {

constexpr const char* kAnyAddress = "0.0.0.0";
constexpr const char* kDefaultDestinationPrefix = "239.69.";
constexpr int32_t kRtcpPort = 5005;
constexpr int32_t kRtcpPortBesideRtp5005 = 5006;

}  // namespace

void RavennaDeviceProxy::createStreamer(const std::string& streamName, const std::vector<uint32_t>& channels,
                                        const std::string& address, int32_t rtpPort, const std::string& codec,
                                        int32_t frameSize) {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  Log(">> Creating new streamer: '", streamName, "'");
  if (!DeviceConfigurationKnownLocked()) {
    return;
  }
  std::optional<uint32_t> slot;
  for (uint32_t candidate = 0; candidate < kStreamSlotCount && !slot; ++candidate) {
    if (!IsStreamerSlotEnabled(configCache_, candidate)) {
      slot = candidate;
    }
  }
  if (!slot) {
    Log("ERROR: can't find free streamer slot");
    return;
  }
  std::string destination = address;
  if (TrimBlanks(address) == kAnyAddress) {
    try {
      // The device's own multicast range: its last address byte, then the slot number.
      const auto hostBytes = boost::asio::ip::make_address_v4(host_).to_bytes();
      destination = kDefaultDestinationPrefix + std::to_string(hostBytes[3]) + "." + std::to_string(*slot + 1);
    } catch (const std::exception& error) {
      Log("ERROR: Error while setting new device state in createStreamer: ", error.what());
      return;
    }
  }
  const int32_t rtcpPort = rtpPort == kRtcpPort ? kRtcpPortBesideRtp5005 : kRtcpPort;
  Log(" Dest IP: ", destination, " - RTP port: ", rtpPort, " - RTCP port: ", rtcpPort);
  const auto span = ContiguousSpan(channels);
  if (!span) {
    Log("ERROR: Got unexpected mapping channels in createStreamer action. ",
        "Channel indices are not contiguous, as requested");
    return;
  }
  Log("  start channel: ", span->start, " - channel count: ", span->count);
  const std::string prefix = StreamerPrefix(*slot);
  try {
    SaveParameters({
        {prefix + "_STREAM_NAME", streamName},
        {prefix + "_START_CH", std::to_string(span->start)},
        {prefix + "_NUM_CH", std::to_string(span->count - 1)},
        {prefix + "_PHY_SELECTOR", portIndex_ == 1 ? "1" : "0"},
        {PortParameterName(portIndex_, prefix + "_IP_ADDRESS_DST"), destination},
        {PortParameterName(portIndex_, prefix + "_RTP_DST"), std::to_string(rtpPort)},
        {PortParameterName(portIndex_, prefix + "_RTCP_DST"), std::to_string(rtcpPort)},
        {prefix + "_FRAME_SIZE", std::to_string(frameSize)},
        {prefix + "_FORMAT", std::to_string(StreamCodecFromText(codec))},
    });
    // Enabled only once every setting is in place.
    SaveParameters({{prefix + "_ENABLE", "1"}});
    Log("Streamer was successfully created");
  } catch (const std::exception& error) {
    Log("ERROR: Error while setting new device state in createStreamer: ", error.what());
  }
}

void RavennaDeviceProxy::deleteStreamer(uint32_t id) {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  Log(">> Deleting streamer with id: ", id);
  if (id >= kStreamSlotCount) {
    Log("ERROR: invalid streamer index");
    return;
  }
  const std::string prefix = StreamerPrefix(id);
  try {
    // Disabled before its settings are cleared.
    SaveParameters({{prefix + "_ENABLE", "0"}});
    SaveParameters({{prefix + "_STREAM_NAME", ""}, {prefix + "_START_CH", "0"}, {prefix + "_NUM_CH", "0"}});
    Log("Streamer was successfully deleted");
  } catch (const std::exception& error) {
    Log("ERROR: Error while setting new device state in deleteStreamer: ", error.what());
  }
}

}  // namespace Vextro
