#include "agent/src/Settings.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "agent/tests/DialogsFixture.h"
#include "agent/tests/MessageBoxWatcher.h"
#include "testing/full_disk.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using dialogs_test::MessageBoxWatcher;
using dialogs_test::processEventsUntil;
using lmr::NetworkAddress;
using Settings = lmr::MainWindow::Settings;
using testing_support::FullDisk;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::writeFile;

constexpr qint64 kRoundLimitMs = 5000;
const char* const kEth = "AA:BB:CC:DD:EE:01";
const char* const kWlan = "AA:BB:CC:DD:EE:02";
const char* const kGone = "AA:BB:CC:DD:EE:09";
const std::string kLongName = "relay_a_very_long_name_abc.so";  // 29 characters with the suffix

std::vector<NetworkAddress> addresses() {
  return {{"eth0", kEth, "192.168.1.20", "255.255.255.0"},
          {"eth0", kEth, "10.1.2.3", "255.255.240.0"},
          {"wlan0", kWlan, "172.16.5.9", "255.255.0.0"}};
}

// Counts the times a widget is shown.
class ShowCounter : public QObject {
 public:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::Show) ++count;
    return false;
  }
  int count = 0;
};

// A stored configuration the dialog is opened on, and the agent reading it.
class SettingsTest : public ::testing::Test {
 protected:
  [[nodiscard]] std::string base() const { return userData.path() + "/Brixel Technologies/lumora"; }
  void load(const std::string& json) {
    fs::create_directories(base() + "/plugins");
    writeFile(base() + "/plugins/vextro.so", "");
    writeFile(base() + "/plugins/" + kLongName, "");
    writeFile(base() + "/config.json", json);
    config.load();
    agent = std::make_unique<lmr::Agent>();
  }
  [[nodiscard]] std::string stored() const { return readFile(config.configPath()); }
  [[nodiscard]] lmr::Document storedDocument() const {
    lmr::Document saved;
    saved.Parse(stored().c_str());
    EXPECT_TRUE(saved.IsObject()) << stored();
    return saved;
  }
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
  static QListView* viewOf(Settings& dialog, const QStandardItemModel* model) {
    for (QListView* view : dialog.findChildren<QListView*>()) {
      if (view->model() == model) return view;
    }
    return nullptr;
  }
  // Toggles a row's check box as a user does with the keyboard: the row made current, then Space.
  static void pressSpace(Settings& dialog, const QStandardItemModel* model, int row) {
    QListView* view = viewOf(dialog, model);
    ASSERT_NE(view, nullptr);
    view->setFocus();
    view->setCurrentIndex(model->index(row, 0));
    QTest::keyClick(view, Qt::Key_Space);
  }
  static void clickOk(Settings& dialog) {
    QTest::mouseClick(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
  }
  // Runs the dialog as the tray does; each round acts on one showing of it and closes it.
  static void runRounds(Settings& dialog, const std::vector<std::function<void(Settings&)>>& rounds) {
    ShowCounter showings;
    dialog.installEventFilter(&showings);
    size_t next = 0;
    QElapsedTimer shown;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (!dialog.isVisible()) return;
      if (static_cast<size_t>(showings.count) > next && next < rounds.size()) {
        shown.start();
        rounds[next++](dialog);
      } else if (static_cast<size_t>(showings.count) > rounds.size() || shown.hasExpired(kRoundLimitMs)) {
        ADD_FAILURE() << "the dialog stayed open or came back once more than expected";
        dialog.reject();
      }
    });
    poll.start(10);
    dialog.run();
    dialog.removeEventFilter(&showings);
    EXPECT_EQ(next, rounds.size());
  }

  TempDir userData;
  TempDir machineData;
  ScopedEnv appData{"APPDATA", userData.path()};
  ScopedEnv programData{"PROGRAMDATA", machineData.path()};
  ScopedEnv pluginDirs{"TVSK_PLUGIN_DIRS", std::nullopt};
  lmr::Config& config = lmr::Config::instance();
  std::unique_ptr<lmr::Agent> agent;
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

  EXPECT_EQ(rowsOf(dialog.discoveryItems()), (QStringList{"All", "192.168.1.x\t(eth0)", "10.1.2.x\t(eth0)",
                                                          "172.16.x.x\t(wlan0)", "AA:BB:CC:DD:EE:09\t(not present)"}));
  EXPECT_EQ(dialog.discoveryItems()->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(dialog.discoveryItems()->item(1)->checkState(), Qt::Unchecked);
  EXPECT_EQ(dialog.discoveryItems()->item(3)->checkState(), Qt::Checked);
  EXPECT_EQ(dialog.discoveryItems()->item(4)->checkState(), Qt::Checked);
  EXPECT_EQ(idsOf(dialog), (QStringList{kWlan, kGone}));

  EXPECT_EQ(rowsOf(dialog.pluginItems()), (QStringList{QString::fromStdString(kLongName) + "\tN/A",
                                                       "vextro.so               \tVextro devices proxy"}));
  // A plug-in the stored table does not name is loaded by the engine: it shows enabled.
  EXPECT_EQ(dialog.pluginItems()->item(0)->checkState(), Qt::Checked);
  EXPECT_EQ(dialog.pluginItems()->item(1)->checkState(), Qt::Unchecked);
  EXPECT_EQ(dialog.pluginItems()->item(1)->toolTip().toStdString(), base() + "/plugins");
}

// The lists' column stands well clear of the widest label and the combo boxes of the other one.
TEST_F(SettingsTest, TheTwoColumnsAreSetClearlyApart) {
  load(kStored);
  Settings dialog(*agent, addresses());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  const auto labelNamed = [&dialog](const char* text) {
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
      if (label->text() == text) return label;
    }
    return static_cast<QLabel*>(nullptr);
  };
  const QLabel* address = labelNamed("Web Server Address:");
  const QLabel* discovery = labelNamed("Discovery Filter:");
  ASSERT_NE(address, nullptr);
  ASSERT_NE(discovery, nullptr);
  EXPECT_EQ(address->y(), discovery->y());
  const int textEnd =
      address->x() + address->contentsRect().left() + address->fontMetrics().horizontalAdvance(address->text());
  const int nextText = discovery->x() + discovery->contentsRect().left();
  constexpr int kClearGap = 12;
  EXPECT_GE(nextText - textEnd, kClearGap) << "text ends at " << textEnd << ", next begins at " << nextText;
  const QListView* list = viewOf(dialog, dialog.discoveryItems());
  EXPECT_GE(list->x() - dialog.addressBox()->geometry().right() - 1, kClearGap);
}

TEST_F(SettingsTest, OkWithoutChangeWritesNothingAndSaysNothing) {
  load(kStored);
  const std::string before = stored();
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  EXPECT_TRUE(dialog.apply());
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
  EXPECT_TRUE(dialog.apply());
  EXPECT_EQ(stored(), before);
  EXPECT_TRUE(boxes.seen().empty());
}

TEST_F(SettingsTest, KeyboardChangesAreSavedWithTheirNotices) {
  load(kStored);
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  runRounds(dialog, {[](Settings& shown) {
              shown.addressBox()->setCurrentText("192.168.1.20");
              shown.modeBox()->setCurrentIndex(0);
              pressSpace(shown, shown.discoveryItems(), 4);
              pressSpace(shown, shown.discoveryItems(), 2);
              pressSpace(shown, shown.pluginItems(), 1);
              EXPECT_EQ(shown.pluginItems()->item(1)->checkState(), Qt::Checked);
              clickOk(shown);
            }});

  const lmr::Document saved = storedDocument();
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
  EXPECT_TRUE(plugins[0]["enabled"].GetBool());  // untouched: as it was shown

  ASSERT_EQ(boxes.seen().size(), 3u);
  EXPECT_EQ(boxes.seen()[0].title, "Web Server Address Changed");
  EXPECT_EQ(boxes.seen()[0].text, "Web Server Address will be set next time this Agent starts");
  EXPECT_EQ(boxes.seen()[1].title, "Mode Changed");
  EXPECT_EQ(boxes.seen()[1].text, "Mode will be set to \"Master\" next time this Agent starts");
  EXPECT_EQ(boxes.seen()[2].title, "Plug-ins Filtering Changed");
  EXPECT_EQ(boxes.seen()[2].text, "Plug-ins filtering will be set next time this Agent starts");

  // Opened again on what was saved, Ok changes nothing more.
  agent = std::make_unique<lmr::Agent>();
  const std::string after = stored();
  Settings again(*agent, addresses());
  EXPECT_EQ(again.addressBox()->currentText(), "192.168.1.20");
  EXPECT_EQ(again.modeBox()->currentText(), "Master");
  EXPECT_EQ(again.pluginItems()->item(1)->checkState(), Qt::Checked);
  EXPECT_TRUE(again.apply());
  EXPECT_EQ(stored(), after);
  EXPECT_EQ(boxes.seen().size(), 3u);
}

TEST_F(SettingsTest, AModeChosenAndChosenBackInOneRunIsStoredAsChosenLast) {
  load(kStored);
  MessageBoxWatcher boxes;
  for (const char* mode : {"Master", "Hybrid"}) {
    Settings dialog(*agent, addresses());
    // The dialog shows what is stored, not the mode this agent started in.
    EXPECT_EQ(dialog.modeBox()->currentText(), mode == std::string("Master") ? "Hybrid" : "Master");
    runRounds(dialog, {[mode](Settings& shown) {
                shown.modeBox()->setCurrentText(mode);
                clickOk(shown);
              }});
  }
  EXPECT_EQ(agent->mode(), 4u);
  EXPECT_EQ(storedDocument()["mode"].GetInt(), 4);
  ASSERT_EQ(boxes.seen().size(), 2u);
  EXPECT_EQ(boxes.seen()[1].text, "Mode will be set to \"Hybrid\" next time this Agent starts");
}

TEST_F(SettingsTest, TheSamePlugInInTwoFoldersKeepsTheChoiceOfEachRow) {
  load(R"({"mode":4})");
  const std::string machine = machineData.path() + "/Brixel Technologies/Lumora/Plugins";
  fs::create_directories(machine);
  writeFile(machine + "/vextro.so", "");
  fs::remove(base() + "/plugins/" + kLongName);
  config.load();
  MessageBoxWatcher boxes;
  {
    Settings dialog(*agent, addresses());
    ASSERT_EQ(dialog.pluginItems()->rowCount(), 2);
    runRounds(dialog, {[](Settings& shown) {
                pressSpace(shown, shown.pluginItems(), 1);  // the per-user copy only
                clickOk(shown);
              }});
  }
  Settings again(*agent, addresses());
  EXPECT_EQ(again.pluginItems()->item(0)->checkState(), Qt::Checked);
  EXPECT_EQ(again.pluginItems()->item(1)->checkState(), Qt::Unchecked);
  EXPECT_EQ(again.pluginItems()->item(0)->toolTip().toStdString(), machine);
}

TEST_F(SettingsTest, AFailedSaveIsSaidAndTheDialogComesBackAsLeft) {
  FullDisk disk(base());
  if (!disk.mounted()) GTEST_SKIP() << "needs the test namespace";
  load(kStored);
  const std::string before = stored();
  disk.fill();
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  runRounds(dialog, {[](Settings& shown) {
                       shown.modeBox()->setCurrentText("Master");
                       pressSpace(shown, shown.pluginItems(), 0);
                       clickOk(shown);
                     },
                     [&disk, &boxes](Settings& shown) {
                       // Shown again as the user left it, after saying why.
                       EXPECT_EQ(boxes.seen().size(), 1u);
                       if (!boxes.seen().empty()) {
                         EXPECT_EQ(boxes.seen()[0].title, "Settings Not Saved");
                         EXPECT_EQ(boxes.seen()[0].text, "The settings could not be saved: No space left on device");
                       }
                       EXPECT_EQ(shown.modeBox()->currentText(), "Master");
                       EXPECT_EQ(shown.pluginItems()->item(0)->checkState(), Qt::Unchecked);
                       disk.release();
                       clickOk(shown);
                     }});
  EXPECT_NE(before, stored());
  const lmr::Document saved = storedDocument();
  EXPECT_EQ(saved["mode"].GetInt(), 1);
  EXPECT_FALSE(saved["plugins"][0]["enabled"].GetBool());
  ASSERT_EQ(boxes.seen().size(), 3u);
  EXPECT_EQ(boxes.seen()[1].title, "Mode Changed");
  EXPECT_EQ(boxes.seen()[2].title, "Plug-ins Filtering Changed");
}

TEST_F(SettingsTest, AutoClearsTheStoredAddress) {
  load(kStored);
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  dialog.addressBox()->setCurrentIndex(0);
  EXPECT_TRUE(dialog.apply());
  EXPECT_STREQ(storedDocument()["server"]["ip"].GetString(), "");
  ASSERT_EQ(boxes.seen().size(), 1u);
}

TEST_F(SettingsTest, AllByKeyboardChecksAndDisablesTheOtherRows) {
  load(kStored);
  Settings dialog(*agent, addresses());
  dialog.show();
  QStandardItemModel* rows = dialog.discoveryItems();
  pressSpace(dialog, rows, 0);
  for (int row = 1; row < rows->rowCount(); ++row) {
    EXPECT_EQ(rows->item(row)->checkState(), Qt::Checked) << row;
    EXPECT_FALSE(rows->item(row)->isEnabled()) << row;
  }
  EXPECT_EQ(idsOf(dialog), QStringList{"0"});
  pressSpace(dialog, rows, 0);
  for (int row = 1; row < rows->rowCount(); ++row) {
    EXPECT_EQ(rows->item(row)->checkState(), Qt::Unchecked) << row;
    EXPECT_TRUE(rows->item(row)->isEnabled()) << row;
  }
  EXPECT_TRUE(idsOf(dialog).isEmpty());
  // Other rows only change themselves; a mouse click on "All" acts as the key does.
  pressSpace(dialog, rows, 3);
  EXPECT_EQ(rows->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(idsOf(dialog), QStringList{kWlan});
  QListView* view = viewOf(dialog, rows);
  const QRect box = view->visualRect(rows->index(0, 0));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(box.left() + box.height() / 2, box.center().y()));
  EXPECT_EQ(rows->item(0)->checkState(), Qt::Checked);
  EXPECT_FALSE(rows->item(3)->isEnabled());
  pressSpace(dialog, rows, 0);

  EXPECT_TRUE(dialog.apply());
  ASSERT_EQ(storedDocument()["discovery"]["filtering"].Size(), 0u);
}

TEST_F(SettingsTest, AllInterfacesStoredOpensWithAllChecked) {
  load(R"({"mode":2})");
  Settings dialog(*agent, addresses());
  dialog.show();
  EXPECT_EQ(dialog.discoveryItems()->item(0)->checkState(), Qt::Checked);
  EXPECT_FALSE(dialog.discoveryItems()->item(1)->isEnabled());
  EXPECT_EQ(dialog.modeBox()->currentText(), "Slave");
  EXPECT_EQ(dialog.discoveryItems()->rowCount(), 4);
  // Unchecking everything saves an empty list.
  pressSpace(dialog, dialog.discoveryItems(), 0);
  EXPECT_TRUE(dialog.apply());
  const lmr::Document saved = storedDocument();
  EXPECT_TRUE(saved["discovery"]["filtering"].IsArray());
  EXPECT_EQ(saved["discovery"]["filtering"].Size(), 0u);
}

TEST_F(SettingsTest, TheEnginesFoldersAreListedAndOkStoresNoDefaultTable) {
  TempDir first;
  TempDir second;
  writeFile(first.path() + "/vextro.so", "");
  writeFile(second.path() + "/annwatch.so", "");
  ScopedEnv engineFolders("TVSK_PLUGIN_DIRS", first.path() + "::" + second.path());
  load(R"({"mode":4})");
  MessageBoxWatcher boxes;
  Settings dialog(*agent, addresses());
  ASSERT_EQ(
      rowsOf(dialog.pluginItems()).join('|').toStdString(),
      "vextro.so               \tVextro devices proxy|annwatch.so             \tSAP Streams discovery (Dante & AES67)");
  EXPECT_EQ(dialog.pluginItems()->item(0)->checkState(), Qt::Checked);
  EXPECT_EQ(dialog.pluginItems()->item(1)->checkState(), Qt::Checked);
  runRounds(dialog, {[](Settings& shown) {
              shown.modeBox()->setCurrentText("Slave");
              clickOk(shown);
            }});
  EXPECT_EQ(stored(), R"({"mode":2})");
  EXPECT_EQ(boxes.seen().size(), 1u);
}

}  // namespace
