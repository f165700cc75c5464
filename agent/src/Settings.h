#pragma once

#include <QDialog>
#include <QModelIndex>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

#include "agent/src/Config.h"
#include "agent/src/MainWindow.h"

class QComboBox;
class QStandardItem;
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

  // Shows the dialog until it is cancelled or what it shows is saved. A save that fails says
  // so, and the dialog comes back as the user left it.
  void run();
  // Saves what the accepted dialog shows, as the check boxes stand now, and says what takes
  // effect at the next start. False, after saying so, when the configuration could not be
  // written; the notices not given yet are given by the next apply that saves.
  bool apply();

  [[nodiscard]] QComboBox* addressBox() const { return addressCombo; }
  [[nodiscard]] QComboBox* modeBox() const { return modeCombo; }
  [[nodiscard]] QStandardItemModel* discoveryItems() const { return discoveryModel; }
  [[nodiscard]] QStandardItemModel* pluginItems() const { return pluginsModel; }

 public slots:
  // "All" changed, by mouse or keyboard: every other row follows it.
  void onDiscoveryItemChanged(QStandardItem* item);

 private:
  QComboBox* addressCombo = nullptr;
  QComboBox* modeCombo = nullptr;
  QListView* discoveryView = nullptr;
  QStandardItemModel* discoveryModel = nullptr;
  QListView* pluginsView = nullptr;
  QStandardItemModel* pluginsModel = nullptr;
  std::vector<PluginEntry> pluginList;
  Qt::CheckState allState_ = Qt::Unchecked;
  // Titles and texts of notices held back by a save that failed.
  std::vector<std::pair<QString, QString>> pendingNotices_;
  Agent& agent_;
  std::vector<NetworkAddress> addresses_;

  // Keeps a notice until the save it announces is done; a later one of the same title replaces it.
  void holdNotice(const QString& title, const QString& text);
};

// Says in a message box that the configuration could not be saved, and why.
void showNotSavedBox();

}  // namespace lmr
