#pragma once

// The nine concrete device models; each answers the fixed questions of RavennaDeviceConfig.

#include "plugins/vextro/src/DeviceConfig.h"

namespace Vextro {

#define VEXTRO_DECLARE_MODEL(ClassName)                \
  class ClassName final : public RavennaDeviceConfig { \
   public:                                             \
    int32_t GetModelId() const override;               \
    std::string GetProxyVendor() const override;       \
    std::string GetDescription() const override;       \
    std::string GetLogFileName() const override;       \
    std::string GetDeviceType() const override;        \
    std::string GetGenericDeviceType() const override; \
    std::string GetProductName() const override;       \
    std::string GetCompany() const override;           \
    int32_t GetMaxChannels() const override;           \
  }

VEXTRO_DECLARE_MODEL(Selva17Config);
VEXTRO_DECLARE_MODEL(OrmoluLinkConfig);
VEXTRO_DECLARE_MODEL(CairnLix55Config);
VEXTRO_DECLARE_MODEL(QuilletConfig);
VEXTRO_DECLARE_MODEL(KorvelRavConfig);
VEXTRO_DECLARE_MODEL(CantorConfig);
VEXTRO_DECLARE_MODEL(GlydeRavennaConfig);
VEXTRO_DECLARE_MODEL(VormoQk71Config);
VEXTRO_DECLARE_MODEL(QRTConfig);

#undef VEXTRO_DECLARE_MODEL

}  // namespace Vextro
