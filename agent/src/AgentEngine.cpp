#include <QHostAddress>
#include <QNetworkInterface>

#include "agent/src/Agent.h"
#include "engine/include/TaviskEngine.h"
#include "platform/process.h"

namespace lmr {
namespace {

constexpr int kEngineRoleMaster = 3;
constexpr int kEngineRoleOther = 1;
constexpr const char* kAllInterfaces = "0";

}  // namespace

std::vector<InterfaceFilter> Agent::interfaceFilters() const {
  const QStringList ids = hardwareIds();
  std::vector<InterfaceFilter> filters;
  if (ids.size() == 1 && ids.front() == kAllInterfaces) return filters;
  const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
  for (const QString& id : ids) {
    for (const QNetworkInterface& interface : interfaces) {
      const auto flags = interface.flags();
      if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack)) continue;
      for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
        if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) continue;
        // Only the first IPv4 address of a matching interface counts.
        if (interface.hardwareAddress() == id) filters.push_back({entry.ip().toString(), entry.netmask().toString()});
        break;
      }
    }
  }
  return filters;
}

bool Agent::startEngine(bool master) {
  for (const InterfaceFilter& filter : interfaceFilters()) {
    TVSK_AddInterfaceFilter(filter.ip.toUtf8().constData(), filter.netmask.toUtf8().constData());
  }
  return TVSK_Initialize(-1, 0, master ? kEngineRoleMaster : kEngineRoleOther) == 0;
}

void Agent::stopEngine() { TVSK_Uninitialize(); }

bool Agent::isProcessAlive(int64_t pid) { return platform::isProcessAlive(pid); }

void Agent::setEngineProgram(const QString& program) { engine_.setProgram(program); }

void Agent::startEngineProcess(bool master) { engine_.start(master); }

}  // namespace lmr
