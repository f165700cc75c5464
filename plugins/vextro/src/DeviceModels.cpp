#include "plugins/vextro/src/DeviceModels.h"

namespace Vextro {

int32_t Selva17Config::GetModelId() const { return 1; }
std::string Selva17Config::GetProxyVendor() const { return "Vextro Technologies"; }
std::string Selva17Config::GetDescription() const { return "Proxy for Vextro SELVA.17"; }
std::string Selva17Config::GetLogFileName() const { return "Selva17Proxy.log"; }
std::string Selva17Config::GetDeviceType() const { return "Vextro SELVA.17"; }
std::string Selva17Config::GetGenericDeviceType() const { return ""; }
std::string Selva17Config::GetProductName() const { return "SELVA.17"; }
std::string Selva17Config::GetCompany() const { return "Vextro Technologies"; }
int32_t Selva17Config::GetMaxChannels() const { return 256; }

int32_t OrmoluLinkConfig::GetModelId() const { return 2; }
std::string OrmoluLinkConfig::GetProxyVendor() const { return "Vextro Technologies"; }
std::string OrmoluLinkConfig::GetDescription() const { return "Proxy for Vextro ORMOLU.LINK"; }
std::string OrmoluLinkConfig::GetLogFileName() const { return "OrmoluLinkProxy.log"; }
std::string OrmoluLinkConfig::GetDeviceType() const { return "Vextro ORMOLU.LINK"; }
std::string OrmoluLinkConfig::GetGenericDeviceType() const { return "Vextro GENERIC"; }
std::string OrmoluLinkConfig::GetProductName() const { return "ORMOLU.LINK"; }
std::string OrmoluLinkConfig::GetCompany() const { return "Vextro Technologies"; }
int32_t OrmoluLinkConfig::GetMaxChannels() const { return 8; }

int32_t CairnLix55Config::GetModelId() const { return 3; }
std::string CairnLix55Config::GetProxyVendor() const { return "Vextro Technologies"; }
std::string CairnLix55Config::GetDescription() const { return "Proxy for the Brantel CAIRN LIX55"; }
std::string CairnLix55Config::GetLogFileName() const { return "CairnLIX55Proxy.log"; }
std::string CairnLix55Config::GetDeviceType() const { return "Brantel LIX55"; }
std::string CairnLix55Config::GetGenericDeviceType() const { return ""; }
std::string CairnLix55Config::GetProductName() const { return "AES67 Interface"; }
std::string CairnLix55Config::GetCompany() const { return "Brantel"; }
int32_t CairnLix55Config::GetMaxChannels() const { return 256; }

int32_t QuilletConfig::GetModelId() const { return 4; }
std::string QuilletConfig::GetProxyVendor() const { return "Vextro Technologies"; }
std::string QuilletConfig::GetDescription() const { return "Proxy for Vextro QUILLET"; }
std::string QuilletConfig::GetLogFileName() const { return "QUILLET_Proxy.log"; }
std::string QuilletConfig::GetDeviceType() const { return "Vextro TAMARIN-QUILLET"; }
std::string QuilletConfig::GetGenericDeviceType() const { return "Vextro GENERIC"; }
std::string QuilletConfig::GetProductName() const { return "TAMARIN QUILLET"; }
std::string QuilletConfig::GetCompany() const { return "Vextro Technologies"; }
int32_t QuilletConfig::GetMaxChannels() const { return 128; }

int32_t KorvelRavConfig::GetModelId() const { return 5; }
std::string KorvelRavConfig::GetProxyVendor() const { return "Vextro Technologies"; }
std::string KorvelRavConfig::GetDescription() const { return "Proxy for Vextro KORVEL.RAV"; }
std::string KorvelRavConfig::GetLogFileName() const { return "KORVEL_RAV_Proxy.log"; }
std::string KorvelRavConfig::GetDeviceType() const { return "Vextro KORVEL-RAV"; }
std::string KorvelRavConfig::GetGenericDeviceType() const { return "Vextro GENERIC"; }
std::string KorvelRavConfig::GetProductName() const { return "KORVEL.RAV"; }
std::string KorvelRavConfig::GetCompany() const { return "Vextro Technologies"; }
int32_t KorvelRavConfig::GetMaxChannels() const { return 64; }

int32_t CantorConfig::GetModelId() const { return 7; }
std::string CantorConfig::GetProxyVendor() const { return "Vextro Technologies"; }
std::string CantorConfig::GetDescription() const { return "Proxy for Vextro CANTOR"; }
std::string CantorConfig::GetLogFileName() const { return "CANTOR_Proxy.log"; }
std::string CantorConfig::GetDeviceType() const { return "Vextro CANTOR"; }
std::string CantorConfig::GetGenericDeviceType() const { return "Vextro GENERIC"; }
std::string CantorConfig::GetProductName() const { return "CANTOR"; }
std::string CantorConfig::GetCompany() const { return "Vextro Technologies"; }
int32_t CantorConfig::GetMaxChannels() const { return 128; }

int32_t GlydeRavennaConfig::GetModelId() const { return 8; }
std::string GlydeRavennaConfig::GetProxyVendor() const { return "Vextro Technologies"; }
std::string GlydeRavennaConfig::GetDescription() const { return "Proxy for Tessan Glyde Ravenna"; }
std::string GlydeRavennaConfig::GetLogFileName() const { return "Glyde_Ravenna_Proxy.log"; }
std::string GlydeRavennaConfig::GetDeviceType() const { return "Vextro Glyde Ravenna"; }
std::string GlydeRavennaConfig::GetGenericDeviceType() const { return "Vextro GENERIC"; }
std::string GlydeRavennaConfig::GetProductName() const { return "Glyde Ravenna"; }
std::string GlydeRavennaConfig::GetCompany() const { return "Vextro Technologies"; }
int32_t GlydeRavennaConfig::GetMaxChannels() const { return 128; }

int32_t VormoQk71Config::GetModelId() const { return 6; }
std::string VormoQk71Config::GetProxyVendor() const { return "Vormo"; }
std::string VormoQk71Config::GetDescription() const { return "Proxy for Vormo QK71"; }
std::string VormoQk71Config::GetLogFileName() const { return "QK71_IO_Proxy.log"; }
std::string VormoQk71Config::GetDeviceType() const { return "Vormo QK71"; }
std::string VormoQk71Config::GetGenericDeviceType() const { return ""; }
std::string VormoQk71Config::GetProductName() const { return "QK71"; }
std::string VormoQk71Config::GetCompany() const { return "Vormo"; }
int32_t VormoQk71Config::GetMaxChannels() const { return 128; }

int32_t QRTConfig::GetModelId() const { return 9; }
std::string QRTConfig::GetProxyVendor() const { return "Vextro Technologies"; }
std::string QRTConfig::GetDescription() const { return "Proxy for the Brantel QRT"; }
std::string QRTConfig::GetLogFileName() const { return "QRTProxy.log"; }
std::string QRTConfig::GetDeviceType() const { return "Brantel-QRT"; }
std::string QRTConfig::GetGenericDeviceType() const { return ""; }
std::string QRTConfig::GetProductName() const { return "QRT AES67 Interface"; }
std::string QRTConfig::GetCompany() const { return "Brantel"; }
int32_t QRTConfig::GetMaxChannels() const { return 64; }

}  // namespace Vextro
