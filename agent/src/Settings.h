#pragma once

#include <QDialog>
#include <QModelIndex>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

#include "agent/src/Config.h"
#include "agent/src/MainWindow.h"

class QComboBox;
class QListView;
class QStandardItemModel;

namespace lmr {

// One IPv4 address of a network interface that is up and not a loopback.
struct NetworkAddress {
  QString interfaceName;    // humanReadableName
  QString hardwareAddress;  // the id config.json keeps
  QString ip;
  QString netmask;
};

// The host's addresses in interface order, then address-entry order.
[[nodiscard]] std::vector<NetworkAddress> listNetworkAddresses();

// The address with every octet whose mask octet is "0" written "x": 192.168.1.20 with
// 255.255.255.0 gives "192.168.1.x".
[[nodiscard]] QString subnetPattern(const QString& address, const QString& netmask);

inline constexpr const char* kAllInterfacesRow = "All";
inline constexpr const char* kAllInterfacesId = "0";

// The settings dialog: web server address, agent mode, discovery filter and plug-ins filter.
// Built fresh from the configuration and the agent for every opening.
class MainWindow::Settings : public QDialog {
  Q_OBJECT

 public:
  explicit Settings(Agent& agent, std::vector<NetworkAddress> addresses = listNetworkAddresses());

  void buildDiscoveryFilter();
  void buildPluginsFilter();
  // Ids of the checked rows in row order, each once; the single id "0" when "All" is checked.
  void checkedHardwareIds(QStringList& out) const;

  // Saves what the accepted dialog shows and says what takes effect at the next start. setMode
  // saves a mode and says so itself (the tray's).
  void apply(const std::function<void(int)>& setMode);

  [[nodiscard]] QComboBox* addressBox() const { return addressCombo; }
  [[nodiscard]] QComboBox* modeBox() const { return modeCombo; }
  [[nodiscard]] QStandardItemModel* discoveryItems() const { return discoveryModel; }
  [[nodiscard]] QStandardItemModel* pluginItems() const { return pluginsModel; }

 public slots:
  void onDiscoveryItemClicked(const QModelIndex& index);
  void onPluginItemClicked(const QModelIndex& index);

 private:
  QComboBox* addressCombo = nullptr;
  QComboBox* modeCombo = nullptr;
  QListView* discoveryView = nullptr;
  QStandardItemModel* discoveryModel = nullptr;
  QListView* pluginsView = nullptr;
  QStandardItemModel* pluginsModel = nullptr;
  std::vector<PluginEntry> pluginList;
  bool pluginsChanged = false;
  Agent& agent_;
  std::vector<NetworkAddress> addresses_;
};

}  // namespace lmr
