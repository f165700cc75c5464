#include "agent/src/Settings.h"

#include <QComboBox>
#include <QStandardItemModel>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/tests/DialogsFixture.h"
#include "agent/tests/MessageBoxWatcher.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using dialogs_test::MessageBoxWatcher;
using dialogs_test::waitUntil;
using lmr::NetworkAddress;
using Settings = lmr::MainWindow::Settings;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::writeFile;

const char* const kEth = "AA:BB:CC:DD:EE:01";
const char* const kWlan = "AA:BB:CC:DD:EE:02";
const char* const kGone = "AA:BB:CC:DD:EE:09";
const std::string kLongName = "relay_a_very_long_name_abc.so";  // 29 characters with the suffix

std::vector<NetworkAddress> addresses() {
  return {{"eth0", kEth, "192.168.1.20", "255.255.255.0"},
          {"eth0", kEth, "10.1.2.3", "255.255.240.0"},
          {"wlan0", kWlan, "172.16.5.9", "255.255.0.0"}};
}

// A stored configuration the dialog is opened on, and the agent reading it.
class SettingsTest : public ::testing::Test {
 protected:
  void load(const std::string& json) {
    const std::string base = userData.path() + "/Brixel Technologies/lumora";
    fs::create_directories(base + "/plugins");
    writeFile(base + "/plugins/vextro.so", "");
    writeFile(base + "/plugins/" + kLongName, "");
    writeFile(base + "/config.json", json);
    config.load();
    agent = std::make_unique<lmr::Agent>();
  }
  [[nodiscard]] std::string stored() const { return readFile(config.configPath()); }
  static QStringList idsOf(const Settings& dialog) {
    QStringList ids;
    dialog.checkedHardwareIds(ids);
    return ids;
  }
  static QStringList rowsOf(const QStandardItemModel* model) {
    QStringList rows;
    for (int row = 0; row < model->rowCount(); ++row) rows << model->item(row)->text();
    return rows;
  }
  // Sets a row's check box as a click would and hands the click on.
  static void click(Settings& dialog, QStandardItemModel* model, int row, Qt::CheckState state) {
    model->item(row)->setCheckState(state);
    if (model == dialog.discoveryItems()) {
      dialog.onDiscoveryItemClicked(model->index(row, 0));
    } else {
      dialog.onPluginItemClicked(model->index(row, 0));
    }
  }

  TempDir userData;
  TempDir machineData;
  ScopedEnv appData{"APPDATA", userData.path()};
  ScopedEnv programData{"PROGRAMDATA", machineData.path()};
  lmr::Config& config = lmr::Config::instance();
  std::unique_ptr<lmr::Agent> agent;
  std::vector<int> modesSaved;
};

const std::string kStored =
    R"({"mode":4,"discovery":{"filtering":[{"hardware_id":"AA:BB:CC:DD:EE:02"},{"hardware_id":"AA:BB:CC:DD:EE:09"}]},)"
    R"("plugins":[{"name":"vextro.so","descr":"Vextro devices proxy","enabled":false}],"server":{"ip":"10.9.8.7"}})";

TEST(SubnetPattern, ZeroMaskOctetsBecomeX) {
  EXPECT_EQ(lmr::subnetPattern("192.168.1.20", "255.255.255.0"), "192.168.1.x");
  EXPECT_EQ(lmr::subnetPattern("192.168.1.20", "255.255.240.0"), "192.168.1.x");
  EXPECT_EQ(lmr::subnetPattern("10.1.2.3", "255.0.0.0"), "10.x.x.x");
  EXPECT_EQ(lmr::subnetPattern("10.1.2.3", "255.255.255.255"), "10.1.2.3");
  EXPECT_EQ(lmr::subnetPattern("10.1.2.3", ""), "10.1.2.3");
}

TEST_F(SettingsTest, ShowsTheStoredChoices) {
  load(kStored);
  Settings dialog(*agent, addresses());
  EXPECT_EQ(dialog.windowTitle(), "Settings");
  EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
  EXPECT_EQ(dialog.size(), QSize(640, 480));
  // The stored address is on no interface now: it stays, as an extra entry.
  QStringList addressItems;
  for (int i = 0; i < dialog.addressBox()->count(); ++i) addressItems << dialog.addressBox()->itemText(i);
  EXPECT_EQ(addressItems, (QStringList{"Auto", "192.168.1.20", "10.1.2.3", "172.16.5.9", "10.9.8.7"}));
  EXPECT_EQ(dialog.addressBox()->currentText(), "10.9.8.7");
  EXPECT_EQ(dialog.modeBox()->currentText(), "Hybrid");
  EXPECT_EQ(dialog.modeBox()->itemData(0).toInt(), 1);
  EXPECT_EQ(dialog.modeBox()->itemData(1).toInt(), 2);

  EXPECT_EQ(rowsOf(dialog.discoveryItems()),
            (QStringList{"All", "192.168.1.x\t(eth0)", "10.1.2.x\t(eth0)", "172.16.x.x\t(wlan0)",
                         "AA:BB:CC:DD:EE:09\t(not present)"}));
  EXPECT_EQ(dialog.discoveryItems()->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(dialog.discoveryItems()->item(1)->checkState(), Qt::Unchecked);
  EXPECT_EQ(dialog.discoveryItems()->item(3)->checkState(), Qt::Checked);
  EXPECT_EQ(dialog.discoveryItems()->item(4)->checkState(), Qt::Checked);
  EXPECT_EQ(idsOf(dialog), (QStringList{kWlan, kGone}));

  EXPECT_EQ(rowsOf(dialog.pluginItems()),
            (QStringList{QString::fromStdString(kLongName) + "\tN/A", "vextro.so               \tVextro devices proxy"}));
  EXPECT_EQ(dialog.pluginItems()->item(1)->checkState(), Qt::Unchecked);
}

TEST_F(SettingsTest, OkWithoutChangeWritesNothingAndSaysNothing) {
  load(kStored);
  const std::string before = stored();
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  dialog.apply([this](int mode) { modesSaved.push_back(mode); agent->setMode(mode); });
  EXPECT_EQ(stored(), before);
  EXPECT_TRUE(boxes.seen().empty());
}

TEST_F(SettingsTest, AnUnknownModeSelectsNothingAndIsKept) {
  load(R"({"mode":3,"server":{"ip":""}})");
  Settings dialog(*agent, addresses());
  EXPECT_EQ(dialog.modeBox()->currentIndex(), -1);
  EXPECT_EQ(dialog.addressBox()->currentText(), "Auto");
  EXPECT_EQ(idsOf(dialog), QStringList{"0"});
  const std::string before = stored();
  MessageBoxWatcher boxes;
  dialog.apply([this](int mode) { modesSaved.push_back(mode); });
  EXPECT_TRUE(modesSaved.empty());
  EXPECT_EQ(stored(), before);
  EXPECT_TRUE(boxes.seen().empty());
}

TEST_F(SettingsTest, ChangesAreSavedWithTheirNotices) {
  load(kStored);
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  dialog.addressBox()->setCurrentText("192.168.1.20");
  dialog.modeBox()->setCurrentIndex(0);
  click(dialog, dialog.discoveryItems(), 4, Qt::Unchecked);
  click(dialog, dialog.discoveryItems(), 2, Qt::Checked);
  click(dialog, dialog.pluginItems(), 1, Qt::Checked);
  dialog.apply([this](int mode) { modesSaved.push_back(mode); agent->setMode(mode); });

  EXPECT_EQ(modesSaved, std::vector<int>{1});
  lmr::Document saved;
  saved.Parse(stored().c_str());
  ASSERT_TRUE(saved.IsObject()) << stored();
  EXPECT_STREQ(saved["server"]["ip"].GetString(), "192.168.1.20");
  EXPECT_EQ(saved["mode"].GetInt(), 1);
  const auto& filtering = saved["discovery"]["filtering"];
  ASSERT_EQ(filtering.Size(), 2u);  // row order, the interface with two addresses once
  EXPECT_STREQ(filtering[0]["hardware_id"].GetString(), kEth);
  EXPECT_STREQ(filtering[1]["hardware_id"].GetString(), kWlan);
  const auto& plugins = saved["plugins"];
  ASSERT_EQ(plugins.Size(), 2u);
  EXPECT_STREQ(plugins[1]["name"].GetString(), "vextro.so");
  EXPECT_TRUE(plugins[1]["enabled"].GetBool());
  EXPECT_FALSE(plugins[0]["enabled"].GetBool());

  ASSERT_EQ(boxes.seen().size(), 2u);
  EXPECT_EQ(boxes.seen()[0].title, "Web Server Address Changed");
  EXPECT_EQ(boxes.seen()[0].text, "Web Server Address will be set next time this Agent starts");
  EXPECT_EQ(boxes.seen()[1].title, "Plug-ins Filtering Changed");
  EXPECT_EQ(boxes.seen()[1].text, "Plug-ins filtering will be set next time this Agent starts");

  // Opened again on what was saved, Ok changes nothing more.
  agent = std::make_unique<lmr::Agent>();
  const std::string after = stored();
  Settings again(*agent, addresses());
  EXPECT_EQ(again.addressBox()->currentText(), "192.168.1.20");
  again.apply([](int) {});
  EXPECT_EQ(stored(), after);
  EXPECT_EQ(boxes.seen().size(), 2u);
}

TEST_F(SettingsTest, AutoClearsTheStoredAddress) {
  load(kStored);
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  dialog.addressBox()->setCurrentIndex(0);
  dialog.apply([](int) {});
  lmr::Document saved;
  saved.Parse(stored().c_str());
  EXPECT_STREQ(saved["server"]["ip"].GetString(), "");
  ASSERT_EQ(boxes.seen().size(), 1u);
}

TEST_F(SettingsTest, AllChecksAndDisablesTheOtherRows) {
  load(kStored);
  Settings dialog(*agent, addresses());
  QStandardItemModel* rows = dialog.discoveryItems();
  click(dialog, rows, 0, Qt::Checked);
  for (int row = 1; row < rows->rowCount(); ++row) {
    EXPECT_EQ(rows->item(row)->checkState(), Qt::Checked) << row;
    EXPECT_FALSE(rows->item(row)->isEnabled()) << row;
  }
  EXPECT_EQ(idsOf(dialog), QStringList{"0"});
  click(dialog, rows, 0, Qt::Unchecked);
  for (int row = 1; row < rows->rowCount(); ++row) {
    EXPECT_EQ(rows->item(row)->checkState(), Qt::Unchecked) << row;
    EXPECT_TRUE(rows->item(row)->isEnabled()) << row;
  }
  EXPECT_TRUE(idsOf(dialog).isEmpty());
  // Other rows only change themselves.
  click(dialog, rows, 3, Qt::Checked);
  EXPECT_EQ(rows->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(idsOf(dialog), QStringList{kWlan});

  dialog.apply([](int) {});
  lmr::Document saved;
  saved.Parse(stored().c_str());
  ASSERT_EQ(saved["discovery"]["filtering"].Size(), 1u);
}

TEST_F(SettingsTest, AllInterfacesStoredOpensWithAllChecked) {
  load(R"({"mode":2})");
  Settings dialog(*agent, addresses());
  EXPECT_EQ(dialog.discoveryItems()->item(0)->checkState(), Qt::Checked);
  EXPECT_FALSE(dialog.discoveryItems()->item(1)->isEnabled());
  EXPECT_EQ(dialog.modeBox()->currentText(), "Slave");
  EXPECT_EQ(dialog.discoveryItems()->rowCount(), 4);
  // Unchecking everything saves an empty list.
  click(dialog, dialog.discoveryItems(), 0, Qt::Unchecked);
  dialog.apply([](int) {});
  lmr::Document saved;
  saved.Parse(stored().c_str());
  EXPECT_TRUE(saved["discovery"]["filtering"].IsArray());
  EXPECT_EQ(saved["discovery"]["filtering"].Size(), 0u);
}

}  // namespace
