#include "agent/src/Settings.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSet>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleFactory>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "agent/src/MessageBox.h"
#include "agent/src/Version.h"

namespace lmr {
namespace {

constexpr int kDialogWidth = 640;
constexpr int kDialogHeight = 480;
constexpr int kButtonMinWidth = 100;
constexpr int kButtonMinHeight = 26;
constexpr int kListSpacing = 7;
// Between the address and mode column and the lists: the widest label would nearly touch them.
constexpr int kColumnSpacing = 16;
constexpr int kPluginNameWidth = 24;
constexpr int kHardwareIdRole = Qt::UserRole;

struct ModeChoice {
  const char* name;
  int mode;
};
constexpr ModeChoice kModes[] = {{"Master", 1}, {"Slave", 2}, {"Hybrid", 4}};

int scaled(int size) { return static_cast<int>(static_cast<float>(size) * dpiScale); }

QStringList withoutRepeats(const QStringList& ids) {
  QStringList unique;
  for (const QString& id : ids) {
    if (!unique.contains(id)) {
      unique.append(id);
    }
  }
  return unique;
}

}  // namespace

std::vector<NetworkAddress> listNetworkAddresses() {
  std::vector<NetworkAddress> addresses;
  for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
    const auto flags = interface.flags();
    if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack)) {
      continue;
    }
    for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
      if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) {
        continue;
      }
      addresses.push_back(NetworkAddress{interface.humanReadableName(), interface.hardwareAddress(),
                                         entry.ip().toString(), entry.netmask().toString()});
    }
  }
  return addresses;
}

QString subnetPattern(const QString& address, const QString& netmask) {
  QStringList octets = address.split('.');
  const QStringList maskOctets = netmask.split('.');
  for (int index = 0; index < octets.size() && index < maskOctets.size(); ++index) {
    if (maskOctets[index] == "0") {
      octets[index] = "x";
    }
  }
  return octets.join('.');
}

MainWindow::Settings::Settings(Agent& agent, std::vector<NetworkAddress> addresses)
    : agent_(agent), addresses_(std::move(addresses)) {
  setWindowTitle("Settings");
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  auto* left = new QVBoxLayout;
  left->addWidget(new QLabel("Web Server Address:", this));
  addressCombo = new QComboBox(this);
  addressCombo->addItem("Auto");
  for (const NetworkAddress& address : addresses_) {
    addressCombo->addItem(address.ip);
  }
  const QString storedIp = QString::fromStdString(Config::instance().findText({"server", "ip"}).value_or(""));
  int addressIndex = storedIp.isEmpty() ? 0 : addressCombo->findText(storedIp, Qt::MatchExactly);
  if (addressIndex < 0) {
    // The interface of the stored address is down now; an unchanged Ok must keep the address.
    addressCombo->addItem(storedIp);
    addressIndex = addressCombo->count() - 1;
  }
  addressCombo->setCurrentIndex(addressIndex);
  left->addWidget(addressCombo);
  left->addWidget(new QLabel("Mode:", this));
  modeCombo = new QComboBox(this);
  for (const ModeChoice& choice : kModes) {
    modeCombo->addItem(choice.name, choice.mode);
  }
  // The stored choice: a mode chosen earlier in this run shows although the agent still runs the old one.
  modeCombo->setCurrentIndex(
      modeCombo->findData(static_cast<int>(Agent::storedMode()), Qt::UserRole, Qt::MatchExactly));
  left->addWidget(modeCombo);
  left->addStretch();

  auto* right = new QVBoxLayout;
  right->addWidget(new QLabel("Discovery Filter:", this));
  discoveryModel = new QStandardItemModel(this);
  discoveryView = new QListView(this);
  discoveryView->setModel(discoveryModel);
  right->addWidget(discoveryView);
  right->addSpacing(kListSpacing);
  right->addWidget(new QLabel("Plug-ins Filter:", this));
  pluginsModel = new QStandardItemModel(this);
  pluginsView = new QListView(this);
  pluginsView->setModel(pluginsModel);
  right->addWidget(pluginsView);
  right->addSpacing(kListSpacing);
  buildDiscoveryFilter();
  buildPluginsFilter();
  // Check boxes toggle by mouse and by keyboard alike: the model tells, not the clicks.
  connect(discoveryModel, &QStandardItemModel::itemChanged, this, &Settings::onDiscoveryItemChanged);

  auto* columns = new QHBoxLayout;
  columns->setSpacing(scaled(kColumnSpacing));
  columns->addLayout(left);
  columns->addLayout(right, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  QStyle* fusion = QStyleFactory::create("Fusion");
  if (fusion != nullptr) {
    fusion->setParent(this);  // buttons do not own the style they are given
  }
  for (QAbstractButton* button : buttons->buttons()) {
    button->setMinimumSize(kButtonMinWidth, kButtonMinHeight);
    if (fusion != nullptr) {
      button->setStyle(fusion);
    }
  }
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addWidget(buttons);
  resize(scaled(kDialogWidth), scaled(kDialogHeight));
}

void MainWindow::Settings::buildDiscoveryFilter() {
  discoveryModel->clear();
  const QStringList ids = agent_.hardwareIds();
  const bool all = ids.size() == 1 && ids.front() == kAllInterfacesId;

  auto* allItem = new QStandardItem(kAllInterfacesRow);
  allItem->setCheckable(true);
  allState_ = all ? Qt::Checked : Qt::Unchecked;
  allItem->setCheckState(allState_);
  allItem->setEditable(false);
  discoveryModel->appendRow(allItem);

  auto appendInterfaceRow = [this, all](const QString& text, const QString& hardwareAddress, bool checked) {
    auto* item = new QStandardItem(text);
    item->setCheckable(true);
    item->setEditable(false);
    item->setData(hardwareAddress, kHardwareIdRole);
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    item->setEnabled(!all);
    discoveryModel->appendRow(item);
  };
  QSet<QString> listed;
  for (const NetworkAddress& address : addresses_) {
    appendInterfaceRow(subnetPattern(address.ip, address.netmask) + "\t(" + address.interfaceName + ")",
                       address.hardwareAddress, ids.contains(address.hardwareAddress));
    listed.insert(address.hardwareAddress);
  }
  // Interfaces chosen earlier that are absent now stay chosen unless the user unchecks them.
  for (const QString& id : ids) {
    if (id != kAllInterfacesId && !listed.contains(id)) {
      appendInterfaceRow(id + "\t(not present)", id, true);
      listed.insert(id);
    }
  }
}

void MainWindow::Settings::buildPluginsFilter() {
  pluginsModel->clear();
  pluginList.clear();
  Config::instance().pluginList(pluginList);
  for (const PluginEntry& entry : pluginList) {
    auto* item = new QStandardItem(QString::fromStdString(entry.name).leftJustified(kPluginNameWidth, ' ') + "\t" +
                                   QString::fromStdString(entry.descr));
    item->setCheckable(true);
    item->setEditable(false);
    item->setCheckState(entry.enabled ? Qt::Checked : Qt::Unchecked);
    // Two rows of the same name differ by their folder.
    item->setToolTip(QString::fromStdString(entry.folder));
    pluginsModel->appendRow(item);
  }
}

void MainWindow::Settings::onDiscoveryItemChanged(QStandardItem* item) {
  // Rows following "All" report their own changes too; only a new state of "All" counts.
  if (item == nullptr || item->row() != 0 || item->checkState() == allState_) {
    return;
  }
  allState_ = item->checkState();
  for (int row = 1; row < discoveryModel->rowCount(); ++row) {
    QStandardItem* other = discoveryModel->item(row);
    other->setCheckState(allState_);
    other->setEnabled(allState_ != Qt::Checked);
  }
}

void MainWindow::Settings::checkedHardwareIds(QStringList& out) const {
  out.clear();
  for (int row = 0; row < discoveryModel->rowCount(); ++row) {
    const QStandardItem* item = discoveryModel->item(row);
    if (item->checkState() != Qt::Checked) {
      continue;
    }
    if (row == 0) {
      out = QStringList{kAllInterfacesId};
      return;
    }
    const QString id = item->data(kHardwareIdRole).toString();
    if (!out.contains(id)) {  // an interface with two addresses is still one interface
      out.append(id);
    }
  }
}

void MainWindow::Settings::run() {
  while (exec() == QDialog::Accepted && !apply()) {
  }
}

bool MainWindow::Settings::apply() {
  Config& config = Config::instance();
  // Changes an earlier Ok could not write are in the document already: they go first.
  if (config.unsaved()) {
    config.save();
  }
  const QString ip = addressCombo->currentIndex() <= 0 ? QString() : addressCombo->currentText();
  if (agent_.setServerIp(ip)) {
    holdNotice("Web Server Address Changed", "Web Server Address will be set next time this Agent starts");
  }
  // No mode was selectable (an unknown stored mode): nothing to save.
  if (modeCombo->currentIndex() >= 0) {
    const int mode = modeCombo->currentData().toInt();
    if (agent_.setMode(mode)) {
      holdNotice("Mode Changed", "Mode will be set to \"" + Agent::modeName(mode) + "\" next time this Agent starts");
    }
  }
  QStringList ids;
  checkedHardwareIds(ids);
  // The same interfaces in another order are no change: nothing is written or sent.
  const QStringList stored = agent_.hardwareIds();
  if (ids.size() != withoutRepeats(stored).size() ||
      !std::all_of(ids.begin(), ids.end(), [&stored](const QString& id) { return stored.contains(id); })) {
    agent_.setInterfaceFilters(ids);
  }
  std::vector<PluginEntry> chosen = pluginList;
  for (size_t row = 0; row < chosen.size(); ++row) {
    chosen[row].enabled = pluginsModel->item(static_cast<int>(row))->checkState() == Qt::Checked;
  }
  if (!std::equal(chosen.begin(), chosen.end(), pluginList.begin(),
                  [](const PluginEntry& now, const PluginEntry& before) { return now.enabled == before.enabled; })) {
    agent_.setPluginEnabled(chosen);
    pluginList = std::move(chosen);
    holdNotice("Plug-ins Filtering Changed", "Plug-ins filtering will be set next time this Agent starts");
  }
  if (config.unsaved()) {
    showNotSavedBox();
    return false;
  }
  for (const auto& [title, text] : pendingNotices_) {
    showThemedMessageBox(nullptr, title, text, QMessageBox::Information, QMessageBox::Ok);
  }
  pendingNotices_.clear();
  return true;
}

void MainWindow::Settings::holdNotice(const QString& title, const QString& text) {
  const auto same = std::find_if(pendingNotices_.begin(), pendingNotices_.end(),
                                 [&title](const auto& notice) { return notice.first == title; });
  if (same != pendingNotices_.end()) {
    same->second = text;
  } else {
    pendingNotices_.emplace_back(title, text);
  }
}

void showNotSavedBox() {
  showThemedMessageBox(nullptr, "Settings Not Saved",
                       "The settings could not be saved: " + QString::fromStdString(Config::instance().saveError()),
                       QMessageBox::Warning, QMessageBox::Ok);
}

}  // namespace lmr
