#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TaviskEngine.h"
#include "agent/src/Agent.h"
#include "agent/src/MainWindow.h"
#include "agent/src/PluginWindow.h"
#include "agent/src/Settings.h"
#include "agent/tests/DialogsFixture.h"
#include "agent/tests/HostileMeasure.h"
#include "agent/tests/MessageBoxWatcher.h"
#include "agent/tests/SilentResolver.h"
#include "engine/src/Engine.h"

namespace {

using namespace std::chrono_literals;
using dialogs_test::entriesOf;
using dialogs_test::MessageBoxWatcher;
using dialogs_test::processEventsUntil;
using testing_support::HttpServer;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::ScriptedReply;
using testing_support::writeFile;

// The tray of an agent attached to a scripted engine on 127.0.0.1, with a catalogue beside it.
class TrayDialogsTest : public dialogs_test::CatalogueFixture {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(userData.path() + "/Brixel Technologies/lumora");
    writeFile(userData.path() + "/Brixel Technologies/lumora/config.json", R"({"mode":4,"server":{"ip":"127.0.0.1"}})");
    CatalogueFixture::SetUp();
    agent = std::make_unique<lmr::Agent>();
    window = std::make_unique<lmr::MainWindow>(*agent, false);
    tray = window->tray();
    server.setReply("/plugins.json",
                    ScriptedReply::json(R"({"Plugins":[)" +
                                        catalogueEntry("vextro", "Vextro devices proxy", "release", 1, 4, "vextro.so") +
                                        "," + catalogueEntry("annwatch", "SAP streams", "beta", 1, 0, "annwatch.so") +
                                        "]}"));
  }
  void TearDown() override {
    window.reset();
    if (listener) listener->detachAgent();
    agent.reset();
  }

  void attach() {
    engine.setReply("/get", ScriptedReply::json(R"({"Config":{"Plugins":[{"Name":"vextro.so","Major":1,"Minor":2}],)"
                                                R"("PluginDirectory":[")" +
                                                userPlugins() + R"("]}})"));
    listener = std::make_shared<lmr::Agent::BrowserListener>(agent.get());
    listener->service_resolved(1, "_lumora_dialogs_test", "_http._tcp.", "localhost", "127.0.0.1", engine.port(), {});
    ASSERT_EQ(agent->attachedAddress(), engine.address());
  }
  lmr::PluginWindow* openPluginManager() {
    EXPECT_TRUE(QMetaObject::invokeMethod(tray, "slotShowPluginsManager"));
    return tray->pluginWindow.get();
  }
  // Runs the tray's settings entry; act works on the open dialog and decides how it closes.
  void runSettings(const std::function<void(lmr::MainWindow::Settings&)>& act) {
    bool acted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<lmr::MainWindow::Settings*>(widget);
        if (dialog != nullptr && dialog->isVisible() && !acted) {
          acted = true;
          act(*dialog);
        }
      }
    });
    poll.start(10);
    tray->showSettings();
    EXPECT_TRUE(acted);
  }

  HttpServer engine;
  std::unique_ptr<lmr::Agent> agent;
  std::shared_ptr<lmr::Agent::BrowserListener> listener;
  std::unique_ptr<lmr::MainWindow> window;
  lmr::MainWindow::Tray* tray = nullptr;
};

TEST_F(TrayDialogsTest, PluginManagerReadsTheAttachedEngine) {
  attach();
  lmr::PluginWindow* manager = openPluginManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_TRUE(manager->isVisible());
  EXPECT_EQ(manager->windowTitle(), "Plugin Manager");
  ASSERT_TRUE(engine.waitForRequests(1, 1000ms));
  const auto request = engine.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/get");
  EXPECT_EQ(request.body, R"({ "Path": "$"})");
  EXPECT_EQ(request.header("Authorization").value_or(""), "Basic a2lsbzptYXJz");
  EXPECT_EQ(tray->pictureFolders, QStringList{QString::fromStdString(pictures())});
  EXPECT_EQ(manager->row("vextro")->status()->text(), "OUTDATED");
  EXPECT_TRUE(manager->row("annwatch")->downloadButtonWidget()->isVisible());
}

// A hostile engine and catalogue server at the default bounds: opening the plug-in manager
// holds the window thread at most five seconds, and the agent grows by far less than 100 MB.
TEST_F(TrayDialogsTest, HostileEngineAndCatalogueHoldTheOpeningAtMostFiveSeconds) {
  attach();
  lmr::setHttpTimeouts({});
  const std::string slowBody = "HTTP/1.0 200 OK\r\n\r\n" + std::string(1000, ' ');
  const std::vector<std::pair<const char*, std::function<ScriptedReply()>>> scenarios = {
      {"opening the plug-in manager: engine and catalogue trickle",
       [&] { return ScriptedReply::trickle(slowBody, 100ms); }},
      {"opening the plug-in manager: endless bodies", [] { return ScriptedReply::endlessBody(); }},
      {"opening the plug-in manager: 1.5 GiB bodies",
       [] { return ScriptedReply::oversized(size_t{1536} * 1024 * 1024); }},
  };
  for (const auto& [name, reply] : scenarios) {
    engine.setReply("/get", reply());
    server.setReply("/plugins.json", reply());
    const auto run = hostile_test::measure(name, [this] { openPluginManager(); });
    EXPECT_LT(run.blocked, 5000ms) << name;
    if (hostile_test::kPeaksComparable) {
      EXPECT_LT(run.peakRiseKb, 100 * 1024) << name;
    }
    EXPECT_EQ(tray->pluginWindow.get()->siteStatus()->text(), "COULD NOT CONNECT TO WEBSITE");
  }
  // The catalogue host is a name, and the network's resolver never answers.
  hostile_test::SilentResolver resolver;
  ASSERT_TRUE(resolver.ready()) << "needs the test namespace";
  ScopedEnv nameHost("LUMORA_CATALOGUE_HOST", std::string("catalogue.lumora.test"));
  engine.setReply("/get", ScriptedReply::trickle(slowBody, 100ms));
  const auto unresolved = hostile_test::measure("opening the plug-in manager: engine trickles, no name resolves",
                                                [this] { openPluginManager(); });
  EXPECT_LT(unresolved.blocked, 5000ms);
}

// The engine itself, hosting the build's plug-ins from the agent's own folder: the rows follow what
// it reports, and a download lands in the folder it lists.
TEST_F(TrayDialogsTest, PluginManagerAgainstTheRunningEngine) {
  const std::string folder = userPlugins();
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(VEXTRO_PLUGIN_PATH, folder + "/vextro.so");
  std::filesystem::copy_file(ANNWATCH_PLUGIN_PATH, folder + "/annwatch.so");
  const ScopedEnv port("TVSK_HTTP_PORT", "0");
  const ScopedEnv name("TVSK_SERVICE_NAME", "_lumoraT" + std::to_string(::getpid()) + "pm");
  const ScopedEnv folders("TVSK_PLUGIN_DIRS", folder);
  const ScopedEnv only("TVSK_PLUGINS", std::nullopt);
  const ScopedEnv devices("TVSK_DEVICES_FILE", std::nullopt);
  ASSERT_EQ(TVSK_Initialize(-1, 0, 1), 0);
  struct Stop {
    ~Stop() { TVSK_Uninitialize(); }
  } stop;
  const uint16_t enginePort = tvsk::Engine::instance().httpPort();
  ASSERT_NE(enginePort, 0);

  constexpr const char* kBytes =
      "\x7f"
      "ELF zorbin plug-in bytes";
  server.setReply("/plugins.json",
                  ScriptedReply::json(R"({"Plugins":[)" +
                                      catalogueEntry("vextro", "Vextro devices proxy", "release", 1, 4, "vextro.so") +
                                      "," + catalogueEntry("annwatch", "SAP streams", "beta", 0, 5, "annwatch.so") +
                                      "," + catalogueEntry("zorbin", "Zorbin bridge", "beta", 2, 0, "zorbin.so") +
                                      "]}"));
  server.setReply("/files/zorbin.so", ScriptedReply::text(200, kBytes, "application/octet-stream"));
  listener = std::make_shared<lmr::Agent::BrowserListener>(agent.get());
  listener->service_resolved(1, "_lumora_dialogs_test", "_http._tcp.", "localhost", "127.0.0.1", enginePort, {});
  ASSERT_EQ(agent->attachedAddress(), "127.0.0.1:" + std::to_string(enginePort));

  lmr::PluginWindow* manager = openPluginManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->installed().at("vextro"), (std::pair<int32_t, int32_t>{1, 4}));
  EXPECT_EQ(manager->installed().at("annwatch"), (std::pair<int32_t, int32_t>{0, 3}));
  EXPECT_EQ(manager->pluginFolderList(), QStringList{QString::fromStdString(folder)});
  EXPECT_EQ(manager->row("vextro")->status()->text(), "UP TO DATE");
  EXPECT_EQ(manager->row("annwatch")->status()->text(), "OUTDATED");
  lmr::RowDisplay* third = manager->row("zorbin");
  ASSERT_NE(third, nullptr);
  ASSERT_TRUE(third->downloadButtonWidget()->isVisible());
  QDir().mkpath(LUMORA_TEST_OUTPUT_DIR);
  EXPECT_TRUE(manager->grab().save(LUMORA_TEST_OUTPUT_DIR "/plugin_manager_engine.png"));

  QTest::mouseClick(third->downloadButtonWidget(), Qt::LeftButton);
  ASSERT_TRUE(processEventsUntil([third] { return third->status()->isVisible(); }, 3000ms));
  EXPECT_EQ(third->status()->text(), "RESTART LUMORA");
  EXPECT_EQ(readFile(folder + "/zorbin.so"), kBytes);
  EXPECT_EQ(entriesOf(folder), (std::vector<std::string>{"annwatch.so", "vextro.so", "zorbin.so"}));
}

TEST_F(TrayDialogsTest, RefusedEngineLeavesEveryRowNotInstalled) {
  attach();
  engine.setReply("/get", ScriptedReply::text(401, "Unauthorized"));
  lmr::PluginWindow* manager = openPluginManager();
  EXPECT_TRUE(manager->installed().empty());
  EXPECT_TRUE(manager->row("vextro")->downloadButtonWidget()->isVisible());
  EXPECT_EQ(manager->row("vextro")->status()->text(), "RESTART LUMORA");
  EXPECT_FALSE(manager->row("vextro")->status()->isVisible());
}

TEST_F(TrayDialogsTest, ReplacingTheWindowAndQuittingDuringDownloadsEndsThemCleanly) {
  lmr::setHttpTimeouts({1000ms, 30000ms});
  server.setReply("/files/annwatch.so", ScriptedReply::stall());
  attach();
  lmr::PluginWindow* first = openPluginManager();
  QTest::mouseClick(first->row("annwatch")->downloadButtonWidget(), Qt::LeftButton);
  ASSERT_TRUE(server.waitForRequests(2, 3000ms));
  auto start = std::chrono::steady_clock::now();
  lmr::PluginWindow* second = openPluginManager();  // the first window and its download go
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_NE(first, second);
  QCoreApplication::processEvents();
  QTest::mouseClick(second->row("annwatch")->downloadButtonWidget(), Qt::LeftButton);
  ASSERT_TRUE(server.waitForRequests(4, 3000ms));
  start = std::chrono::steady_clock::now();
  window.reset();  // the tray, its window and the download with it
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  QCoreApplication::processEvents();
  EXPECT_TRUE(entriesOf(userPlugins()).empty());
}

TEST_F(TrayDialogsTest, SettingsOkWithoutChangeKeepsConfigAndSaysNothing) {
  const std::string before = readFile(config.configPath());
  MessageBoxWatcher boxes;
  runSettings([](lmr::MainWindow::Settings& dialog) { dialog.accept(); });
  EXPECT_EQ(readFile(config.configPath()), before);
  EXPECT_TRUE(boxes.seen().empty());
}

TEST_F(TrayDialogsTest, SettingsChangeOfModeIsSavedAndAnnounced) {
  MessageBoxWatcher boxes;
  runSettings([](lmr::MainWindow::Settings& dialog) {
    dialog.modeBox()->setCurrentText("Master");
    dialog.accept();
  });
  EXPECT_NE(readFile(config.configPath()).find(R"("mode":1)"), std::string::npos);
  ASSERT_EQ(boxes.seen().size(), 1u);
  EXPECT_EQ(boxes.seen()[0].title, "Mode Changed");
  EXPECT_EQ(boxes.seen()[0].text, "Mode will be set to \"Master\" next time this Agent starts");
}

TEST_F(TrayDialogsTest, SettingsCancelChangesNothing) {
  const std::string before = readFile(config.configPath());
  MessageBoxWatcher boxes;
  runSettings([](lmr::MainWindow::Settings& dialog) {
    dialog.modeBox()->setCurrentText("Slave");
    dialog.addressBox()->setCurrentIndex(0);
    dialog.reject();
  });
  EXPECT_EQ(readFile(config.configPath()), before);
  EXPECT_TRUE(boxes.seen().empty());
}

}  // namespace
