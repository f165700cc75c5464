#pragma once

// The device models the plug-in serves, and how an initialization JSON picks one of them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Vextro {

class RavennaDeviceConfig {
 public:
  virtual ~RavennaDeviceConfig() = default;
  [[nodiscard]] virtual int32_t GetModelId() const = 0;
  [[nodiscard]] virtual std::string GetProxyVendor() const = 0;
  [[nodiscard]] virtual std::string GetDescription() const = 0;
  [[nodiscard]] virtual std::string GetLogFileName() const = 0;
  // Text searched for in the init JSON "Type".
  [[nodiscard]] virtual std::string GetDeviceType() const = 0;
  // Second text searched for; empty for models without one.
  [[nodiscard]] virtual std::string GetGenericDeviceType() const = 0;
  // Default device name and the "Product" of the device identity.
  [[nodiscard]] virtual std::string GetProductName() const = 0;
  [[nodiscard]] virtual std::string GetCompany() const = 0;
  // Upper bound for the receive and transmit channel counts.
  [[nodiscard]] virtual int32_t GetMaxChannels() const = 0;
};

using DeviceConfigPtr = std::shared_ptr<const RavennaDeviceConfig>;

// The nine models in matching order.
[[nodiscard]] const std::vector<DeviceConfigPtr>& DeviceConfigList();

// First model whose device type, then generic type, occurs in `type` (case-sensitive).
// Throws std::runtime_error("No matching configuration found").
[[nodiscard]] DeviceConfigPtr FindDeviceConfig(const std::string& type, const std::vector<std::string>& subtypes);

// Reads {"Origin","Type","Subtypes","Ip","Port"}; on success sets host, port (low 16 bits) and the
// chosen model, reopens the log as "vextro" and returns true. Missing members give false silently;
// any other failure logs "ERROR: parsing initialization JSON failed: <reason>".
[[nodiscard]] bool ParseInitJson(const std::string& initJson, std::string& host, uint16_t& port,
                                 DeviceConfigPtr& model);

}  // namespace Vextro
