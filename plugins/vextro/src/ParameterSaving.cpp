// Writing settings to the device, and the sample-rate action built on it.
#include <algorithm>
#include <array>
#include <optional>

#include "plugins/vextro/src/PluginLog.h"
#include "plugins/vextro/src/RavennaDeviceProxy.h"

namespace Vextro {
namespace {

constexpr const char* kSampleFreqParameter = "CONFIG_PARAM_AUDIO_SERVER_SAMPLE_FREQ";
constexpr const char* kInterfaceSizeParameter = "CONFIG_SHARED_AUDIO_CONTROL_AUDIO_INTERFACE_SIZE";
constexpr const char* kSettingParameter = "SELVA_CONFIG_PARAM_SETTING";
// Bits 26 (double rate), 27 (quadruple rate) and 28 (48 kHz family) of the setting's first number.
constexpr uint32_t kRateBitsMask = 7U << 26;
constexpr uint32_t kBase48Bit = 1U << 28;
constexpr uint32_t kQuadBit = 1U << 27;
constexpr uint32_t kDoubleBit = 1U << 26;

struct RateSetting {
  uint32_t rate;
  uint32_t index;  // sample-frequency index
  uint32_t interfaceSize;
  uint32_t bits;
};

constexpr std::array<RateSetting, 6> kRateSettings = {{
    {44100, 0, 256, 0},
    {48000, 1, 256, kBase48Bit},
    {88200, 2, 128, kDoubleBit},
    {96000, 3, 128, kBase48Bit | kDoubleBit},
    {176400, 4, 64, kQuadBit},
    {192000, 5, 64, kBase48Bit | kQuadBit},
}};

// Decimal digits only (leading zeros allowed), within 32 bits.
std::optional<uint32_t> StrictUInt32(const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFULL) {
      return std::nullopt;
    }
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

void RavennaDeviceProxy::SaveParameters(const ParameterMap& parameters) {
  SendSavePage(host_, port_, parameters, RequestTimeouts());
  for (const auto& [name, value] : parameters) {
    configCache_[name] = value;
  }
  stateInputs_.reset();  // the cache no longer is what the last fetched page gave
}

bool RavennaDeviceProxy::DeviceConfigurationKnownLocked() const {
  if (lastFetchStatus_ == kStatusOk) {
    return true;
  }
  // The cache is empty or stale: a free slot found in it may be in use on the device.
  Log("ERROR: device configuration unknown");
  return false;
}

void RavennaDeviceProxy::setSampleRate(uint32_t rate) {
  std::lock_guard<std::mutex> lock(proxyMutex_);
  Log(">> Applying new sample rate: ", rate);
  if (!DeviceConfigurationKnownLocked()) {
    return;
  }
  const bool hasSetting = configCache_.count(kSettingParameter) != 0;
  const std::string setting = GetStringParameter(configCache_, kSettingParameter, "");
  uint32_t first = 0;
  uint32_t second = 0;
  bool settingReadable = true;
  if (hasSetting) {
    // Writing zeros in place of an unreadable setting would wipe the device's other setting bits.
    const std::vector<std::string> pieces = SplitFields(setting, ';');
    const auto firstNumber = pieces.size() == 2 ? StrictUInt32(pieces[0]) : std::nullopt;
    const auto secondNumber = pieces.size() == 2 ? StrictUInt32(pieces[1]) : std::nullopt;
    settingReadable = firstNumber && secondNumber;
    if (settingReadable) {
      first = *firstNumber;
      second = *secondNumber;
    } else {
      Log("ERROR: unexpected value of ", kSettingParameter, ": '", setting, "'");
    }
  }
  const auto found = std::find_if(kRateSettings.begin(), kRateSettings.end(),
                                  [rate](const RateSetting& entry) { return entry.rate == rate; });
  if (found == kRateSettings.end()) {
    Log("ERROR: unsupported sample rate");
    return;
  }
  if (!settingReadable) {
    return;
  }
  first = (first & ~kRateBitsMask) | found->bits;
  try {
    SaveParameters({{kSampleFreqParameter, std::to_string(found->index)},
                    {kInterfaceSizeParameter, std::to_string(found->interfaceSize)},
                    {kSettingParameter, std::to_string(first) + ";" + std::to_string(second)}});
    Log("Sample rate was successfully applied");
  } catch (const std::exception& error) {
    Log("ERROR: Error while setting new device state in setSampleRate: ", error.what());
  }
}

}  // namespace Vextro
