#include "plugins/vextro/src/DeviceConfig.h"

#include <stdexcept>

#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/src/JsonCompat.h"
#include "plugins/vextro/src/PluginLog.h"

namespace Vextro {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> TextList(const Json& value) {
  if (!value.is_array()) {
    throw std::runtime_error("Not an array");
  }
  std::vector<std::string> texts;
  for (const Json& element : value) {
    texts.push_back(AsText(element));
  }
  return texts;
}

}  // namespace

const std::vector<DeviceConfigPtr>& DeviceConfigList() {
  static const std::vector<DeviceConfigPtr> list = {
      std::make_shared<const Selva17Config>(),      std::make_shared<const OrmoluLinkConfig>(),
      std::make_shared<const CairnLix55Config>(),   std::make_shared<const QuilletConfig>(),
      std::make_shared<const KorvelRavConfig>(),    std::make_shared<const CantorConfig>(),
      std::make_shared<const GlydeRavennaConfig>(), std::make_shared<const VormoQk71Config>(),
      std::make_shared<const QRTConfig>()};
  return list;
}

DeviceConfigPtr FindDeviceConfig(const std::string& type, const std::vector<std::string>& /*subtypes*/) {
  for (const DeviceConfigPtr& model : DeviceConfigList()) {
    if (Contains(type, model->GetDeviceType())) {
      return model;
    }
    const std::string generic = model->GetGenericDeviceType();
    if (!generic.empty() && Contains(type, generic)) {
      return model;
    }
  }
  throw std::runtime_error("No matching configuration found");
}

bool ParseInitJson(const std::string& initJson, std::string& host, uint16_t& port, DeviceConfigPtr& model) {
  try {
    const Json document = ParseJsonDocument(initJson);
    if (!document.is_object() || !document.contains("Origin") || !document.contains("Type") ||
        !document.contains("Subtypes") || !document.contains("Ip") || !document.contains("Port")) {
      host.clear();
      port = 0;
      return false;
    }
    const std::string type = AsText(document.at("Type"));
    const std::vector<std::string> subtypes = TextList(document.at("Subtypes"));
    DeviceConfigPtr chosen = FindDeviceConfig(type, subtypes);
    const std::string ip = AsText(document.at("Ip"));
    const auto devicePort = static_cast<uint16_t>(AsUInt32Like(document.at("Port")) & 0xFFFFU);
    ReopenLog(kPluginLogName);
    host = ip;
    port = devicePort;
    model = std::move(chosen);
    return true;
  } catch (const std::exception& error) {
    Log("ERROR: parsing initialization JSON failed: ", error.what());
    host.clear();
    return false;
  }
}

}  // namespace Vextro
