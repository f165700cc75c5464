#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "agent/src/Agent.h"
#include "agent/src/Config.h"
#include "agent/src/MainWindow.h"
#include "agent/src/Theme.h"
#include "agent/src/Version.h"
#include "agent/tests/ThemeTestSupport.h"
#include "testing/count_of.h"
#include "testing/qt_test_main/process_events_until.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::processEventsUntil;
using testing_support::ScopedEnv;
using testing_support::StdoutCapture;
using testing_support::TempDir;

// Takes the URLs the program would hand to the desktop's browser.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  QStringList urls;

 public slots:
  void open(const QUrl& url) { urls << url.toString(); }
};

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

class TrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lmr::dpiScale = 1.0f;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
  }

  void TearDown() override {
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
  }

  // Loads a configuration with this mode and builds the agent, main window and tray.
  void start(int mode = static_cast<int>(lmr::Agent::kModeHybrid)) {
    const std::string base = appData.path() + "/Brixel Technologies/lumora";
    QDir().mkpath(QString::fromStdString(base));
    testing_support::writeFile(base + "/config.json", "{\"mode\":" + std::to_string(mode) + "}");
    lmr::Config::instance().load();
    agent = std::make_unique<lmr::Agent>();
    window = std::make_unique<lmr::MainWindow>(*agent, false);
    tray = window->tray();
    // The tray registers its own browser launcher: the recorder takes its place.
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    browser = std::make_shared<lmr::Agent::BrowserListener>(agent.get());
  }

  // Resolves an engine server as the DNS-SD browse would; the agent attaches when the rules allow.
  void resolve(const char* name, const char* host, const char* ip, uint16_t port, std::vector<std::string> txt = {}) {
    browser->service_resolved(1, name, "_http._tcp.", host, ip, port, txt);
    QCoreApplication::processEvents();
  }
  void remove(const char* name) {
    browser->service_removed(1, name, "_http._tcp.");
    QCoreApplication::processEvents();
  }

  TempDir appData;
  TempDir programData;
  ScopedEnv appDataEnv{"APPDATA", appData.path()};
  ScopedEnv programDataEnv{"PROGRAMDATA", programData.path()};
  UrlRecorder recorder;
  std::unique_ptr<lmr::Agent> agent;
  std::unique_ptr<lmr::MainWindow> window;
  lmr::MainWindow::Tray* tray = nullptr;
  std::shared_ptr<lmr::Agent::BrowserListener> browser;
};

TEST_F(TrayTest, MenuEntriesInOrderWithTheirStartStates) {
  start();
  QStringList texts;
  for (QAction* action : tray->menu()->actions()) {
    texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
  }
  EXPECT_EQ(texts.join(QLatin1Char('|')),
            QStringLiteral("Title|-|Open &Web App|Start Local Server|&Settings...|-|&User Manual|&About|&Quit"));
  EXPECT_EQ(tray->menu()->title(), QStringLiteral("App"));
  EXPECT_FALSE(tray->titleAction()->isEnabled());
  EXPECT_FALSE(tray->webAppAction()->isEnabled());
  EXPECT_TRUE(tray->localServerAction()->isEnabled());
  EXPECT_EQ(tray->trayIcon()->contextMenu(), tray->menu());
  EXPECT_EQ(tray->trayIcon()->toolTip(), QStringLiteral("LUMORA ") + lmr::Agent::versionText());
  EXPECT_TRUE(tray->trayIcon()->isVisible());
  EXPECT_FALSE(tray->trayIcon()->icon().isNull());
  // The same menu sits in the main window's menu bar.
  ASSERT_EQ(window->menuBar()->actions().size(), 1);
  EXPECT_EQ(window->menuBar()->actions().front()->menu(), tray->menu());
}

TEST_F(TrayTest, MainWindowIsFixedSizeAndClosingOnlyHidesIt) {
  start();
  EXPECT_EQ(lmr::MainWindow::instance(), window.get());
  EXPECT_EQ(window->size(), QSize(480, 320));
  EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(window->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
  window->show();
  EXPECT_TRUE(window->close() || !window->isVisible());
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(lmr::MainWindow::instance(), window.get());
  window.reset();
  EXPECT_EQ(lmr::MainWindow::instance(), nullptr);
}

TEST_F(TrayTest, PopupTitleNamesTheAttachedHost) {
  start();
  emit tray->menu()->aboutToShow();
  EXPECT_EQ(tray->titleAction()->text(), QStringLiteral("LUMORA - No Server Running"));
  resolve("_lumoraT_a", "studio-a.local.", "127.0.0.1", 9000);
  emit tray->menu()->aboutToShow();
  // Without the DNS name's root dot.
  EXPECT_EQ(tray->titleAction()->text(), QStringLiteral("LUMORA - Server on studio-a.local"));
  remove("_lumoraT_a");
  emit tray->menu()->aboutToShow();
  EXPECT_EQ(tray->titleAction()->text(), QStringLiteral("LUMORA - No Server Running"));
}

TEST_F(TrayTest, WebAppOpensOncePerNewAttachedAddress) {
  start();
  tray->setAutoOpenInterval(0ms);
  StdoutCapture capture;
  resolve("_lumoraT_a", "a.local.", "127.0.0.1", 9000);
  ASSERT_EQ(recorder.urls, QStringList{QStringLiteral("http://127.0.0.1:9000/")});
  EXPECT_TRUE(tray->webAppAction()->isEnabled());

  // The same report again, and detach then re-attach to the same address: no second browser.
  tray->slotAttachChanged(QStringLiteral("127.0.0.1:9000"), true);
  remove("_lumoraT_a");
  EXPECT_FALSE(tray->webAppAction()->isEnabled());
  resolve("_lumoraT_a", "a.local.", "127.0.0.1", 9000);
  EXPECT_EQ(recorder.urls.size(), 1);

  // Another address opens the browser again.
  remove("_lumoraT_a");
  resolve("_lumoraT_b", "b.local.", "127.0.0.2", 9001);
  EXPECT_EQ(recorder.urls,
            (QStringList{QStringLiteral("http://127.0.0.1:9000/"), QStringLiteral("http://127.0.0.2:9001/")}));

  // Every tray message is in the log as well, for desktops without a tray.
  const std::string log = capture.take();
  EXPECT_NE(log.find("Server Found: Attached to 127.0.0.1:9000"), std::string::npos) << log;
  EXPECT_NE(log.find("Server Lost: Detached from 127.0.0.1:9000"), std::string::npos) << log;
  EXPECT_NE(log.find("Server Found: Attached to 127.0.0.2:9001"), std::string::npos) << log;
}

// DNS escapes non-ASCII bytes of host names; the title shows the name's UTF-8 text.
TEST_F(TrayTest, PopupTitleShowsANonAsciiHostAsItsText) {
  start();
  resolve("_lumoraT_u", "J\\195\\188rgen-PC\\.lab.local.", "127.0.0.1", 9000);
  emit tray->menu()->aboutToShow();
  EXPECT_EQ(tray->titleAction()->text(), QString::fromUtf8("LUMORA - Server on J\xc3\xbcrgen-PC.lab.local"));
}

// An advert that leaves and comes back on a new port every few seconds opens the browser by itself
// once a minute at most; the tray still tells of each server found, and the user's clicks open it.
TEST_F(TrayTest, TheWebAppOpensByItselfAtMostOncePerInterval) {
  start();
  StdoutCapture capture;
  for (uint16_t port = 9000; port < 9010; ++port) {
    resolve("_lumoraT_churn", "c.local.", "127.0.0.1", port);
    remove("_lumoraT_churn");
  }
  resolve("_lumoraT_churn", "c.local.", "127.0.0.1", 9010);
  EXPECT_EQ(recorder.urls, QStringList{QStringLiteral("http://127.0.0.1:9000/")});
  const std::string log = capture.take();
  EXPECT_EQ(testing_support::countOf(log, "Server Found: Attached to 127.0.0.1:90"), 11u) << log;
  EXPECT_NE(log.find("The web app at 127.0.0.1:9010 is not opened by itself"), std::string::npos) << log;

  tray->iconActivated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(recorder.urls.size(), 2);
  EXPECT_EQ(recorder.urls.back(), QStringLiteral("http://127.0.0.1:9010/"));
  // Once the interval has passed, a new server opens it again.
  tray->setAutoOpenInterval(0ms);
  remove("_lumoraT_churn");
  resolve("_lumoraT_churn", "c.local.", "127.0.0.1", 9011);
  EXPECT_EQ(recorder.urls.size(), 3);
}

TEST_F(TrayTest, ReportsArriveQueuedOnTheGuiThread) {
  start();
  std::thread worker([this] { tray->onAttached("127.0.0.1:9100"); });
  worker.join();
  EXPECT_FALSE(tray->webAppAction()->isEnabled());  // nothing yet: the slot waits for the loop
  EXPECT_TRUE(processEventsUntil([this] { return tray->webAppAction()->isEnabled(); }));
}

TEST_F(TrayTest, WebAppIsNotOpenedWithoutAnAttachedServer) {
  start();
  StdoutCapture capture;
  tray->showWebApp();
  tray->iconActivated(QSystemTrayIcon::Trigger);
  tray->messageClicked();
  EXPECT_TRUE(recorder.urls.isEmpty()) << recorder.urls.join(QLatin1Char(' ')).toStdString();
  EXPECT_NE(capture.take().find("No LUMORA server attached"), std::string::npos);
}

TEST_F(TrayTest, OnlyASingleClickOrAMessageClickOpensTheAttachedWebApp) {
  start();
  resolve("_lumoraT_a", "a.local.", "127.0.0.1", 9000);
  recorder.urls.clear();
  tray->iconActivated(QSystemTrayIcon::DoubleClick);
  tray->iconActivated(QSystemTrayIcon::Context);
  EXPECT_TRUE(recorder.urls.isEmpty());
  tray->iconActivated(QSystemTrayIcon::Trigger);
  tray->messageClicked();
  EXPECT_TRUE(processEventsUntil([this] { return recorder.urls.size() == 2; }));
}

// While a message shows, Qt reports a click on the icon as a message click followed by the
// icon's own activation, both from the one mouse press.
TEST_F(TrayTest, OneClickWhileAMessageShowsOpensTheWebAppOnce) {
  start();
  resolve("_lumoraT_a", "a.local.", "127.0.0.1", 9000);
  recorder.urls.clear();
  emit tray->trayIcon()->messageClicked();
  emit tray->trayIcon()->activated(QSystemTrayIcon::Trigger);
  processEventsUntil([] { return false; }, 200ms);
  EXPECT_EQ(recorder.urls.size(), 1);
  // A right click opens the menu only.
  emit tray->trayIcon()->messageClicked();
  emit tray->trayIcon()->activated(QSystemTrayIcon::Context);
  processEventsUntil([] { return false; }, 200ms);
  EXPECT_EQ(recorder.urls.size(), 1);
  // A click on the message itself opens the web app.
  emit tray->trayIcon()->messageClicked();
  EXPECT_TRUE(processEventsUntil([this] { return recorder.urls.size() == 2; }));
}

TEST_F(TrayTest, AQuickFoundLostFoundStillOpensTheWebApp) {
  start();
  // Both reports wait in the queue: when the first is handled, the server is gone again.
  browser->service_resolved(1, "_lumoraT_a", "_http._tcp.", "a.local.", "127.0.0.1", 9000, {});
  browser->service_removed(1, "_lumoraT_a", "_http._tcp.");
  processEventsUntil([] { return false; }, 100ms);
  EXPECT_TRUE(recorder.urls.isEmpty());
  resolve("_lumoraT_a", "a.local.", "127.0.0.1", 9000);
  EXPECT_EQ(recorder.urls, QStringList{QStringLiteral("http://127.0.0.1:9000/")});
}

// Quit from the tray menu while the splash still searches: the program ends within a second and
// starts no engine.
TEST_F(TrayTest, QuitDuringTheSplashEndsTheConnectSequence) {
  TempDir work;
  ScopedEnv args("FAKE_ENGINE_ARGS_FILE", work.path() + "/args");
  const std::string base = appData.path() + "/Brixel Technologies/lumora";
  QDir().mkpath(QString::fromStdString(base));
  testing_support::writeFile(base + "/config.json", "{\"mode\":4}");
  lmr::Config::instance().load();
  agent = std::make_unique<lmr::Agent>();
  agent->setEngineProgram(QStringLiteral(LUMORA_TEST_FAKE_ENGINE));
  agent->setTickPeriod(200ms);
  QElapsedTimer sinceQuit;
  QTimer::singleShot(300, [&sinceQuit] {
    for (QWidget* widget : QApplication::allWidgets()) {
      auto* menu = qobject_cast<QMenu*>(widget);
      if (menu == nullptr || menu->title() != QStringLiteral("App")) continue;
      for (QAction* action : menu->actions()) {
        if (action->text() == QStringLiteral("&Quit")) {
          sinceQuit.start();
          action->trigger();
        }
      }
    }
  });
  window = std::make_unique<lmr::MainWindow>(*agent, true);
  ASSERT_TRUE(sinceQuit.isValid());
  EXPECT_LT(sinceQuit.elapsed(), 1000);
  EXPECT_TRUE(agent->stopRequested());
  processEventsUntil([] { return false; }, 1200ms);  // past the sequence's engine start
  EXPECT_TRUE(readLines(work.path() + "/args").empty());
  EXPECT_EQ(agent->enginePid(), 0);
}

TEST_F(TrayTest, UserManualOpensOverHttps) {
  start();
  tray->showDocumentation();
  ASSERT_EQ(recorder.urls.size(), 1);
  const QUrl url(recorder.urls.front());
  EXPECT_EQ(url.scheme(), QStringLiteral("https"));
  EXPECT_EQ(url.path(), QStringLiteral("/uploads/assets/Installers/LUMORA/2.0/LUMORA_User_Manual_2.0.pdf"));
}

TEST_F(TrayTest, NotificationShowsTheFixedText) {
  start();
  StdoutCapture capture;
  tray->onNotification("anything at all");
  QCoreApplication::processEvents();
  const std::string log = capture.take();
  EXPECT_NE(log.find("Server Not Found: Could not find LUMORA server in the network"), std::string::npos) << log;
  EXPECT_EQ(log.find("anything at all"), std::string::npos);
}

TEST_F(TrayTest, StartLocalServerOnlyOfferedByAHybridAgentThatStartedNoEngine) {
  TempDir work;
  ScopedEnv args("FAKE_ENGINE_ARGS_FILE", work.path() + "/args");
  ScopedEnv lifetime("FAKE_ENGINE_LIFETIME_MS", std::string("2000"));
  start();
  agent->setEngineProgram(QStringLiteral(LUMORA_TEST_FAKE_ENGINE));
  emit tray->menu()->aboutToShow();
  EXPECT_TRUE(tray->localServerAction()->isVisible());
  tray->localServerAction()->trigger();
  ASSERT_TRUE(processEventsUntil([&] { return readLines(work.path() + "/args").size() == 1; }));
  EXPECT_EQ(readLines(work.path() + "/args").front(),
            "--server 1 --apid " + std::to_string(QCoreApplication::applicationPid()));
  emit tray->menu()->aboutToShow();
  EXPECT_FALSE(tray->localServerAction()->isVisible());
}

TEST_F(TrayTest, StartLocalServerHiddenForASlave) {
  start(static_cast<int>(lmr::Agent::kModeSlave));
  emit tray->menu()->aboutToShow();
  EXPECT_FALSE(tray->localServerAction()->isVisible());
}

class RestartPolicy : public TrayTest {
 protected:
  void SetUp() override {
    TrayTest::SetUp();
    argsFile = work.path() + "/args";
  }
  void startWithFakeEngine(int mode, std::chrono::milliseconds engineLifetime) {
    lifetime = std::make_unique<ScopedEnv>("FAKE_ENGINE_LIFETIME_MS", std::to_string(engineLifetime.count()));
    start(mode);
    agent->setEngineProgram(QStringLiteral(LUMORA_TEST_FAKE_ENGINE));
    agent->setWatchdogPeriod(100ms);
  }
  size_t starts() const { return readLines(argsFile).size(); }

  TempDir work;
  std::string argsFile;
  ScopedEnv argsEnv{"FAKE_ENGINE_ARGS_FILE", work.path() + "/args"};
  std::unique_ptr<ScopedEnv> lifetime;
};

TEST_F(RestartPolicy, TwoDeathsWithinTheWindowRestartOnceThenGiveUp) {
  startWithFakeEngine(static_cast<int>(lmr::Agent::kModeMaster), 0ms);
  std::string log;
  {
    StdoutCapture capture;
    agent->startEngineProcess(true);
    processEventsUntil([&] {
      log += capture.take();
      return log.find("dies rapidly") != std::string::npos;
    });
    // Nothing more is started once the engine is given up.
    processEventsUntil([] { return false; }, 500ms);
    log += capture.take();
  }
  const std::vector<std::string> lines = readLines(argsFile);
  ASSERT_EQ(lines.size(), 2u) << log;
  // A master agent restarts a master engine.
  EXPECT_EQ(lines[1].substr(lines[1].size() - 10), "--master 1") << lines[1];
  EXPECT_NE(log.find("Trying to restart Engine process...\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Engine Process dies rapidly. No further attempt to restart\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Local Server Died: No further attempts to revive local server as it crashes rapidly"),
            std::string::npos)
      << log;
}

TEST_F(RestartPolicy, AfterTheGiveUpStartLocalServerIsOfferedAndWorks) {
  startWithFakeEngine(static_cast<int>(lmr::Agent::kModeHybrid), 0ms);
  agent->startEngineProcess(false);
  ASSERT_TRUE(processEventsUntil([this] { return starts() == 2 && agent->enginePid() == 0; }));
  processEventsUntil([] { return false; }, 400ms);  // the second death is given up
  ASSERT_EQ(starts(), 2u);
  emit tray->menu()->aboutToShow();
  EXPECT_TRUE(tray->localServerAction()->isVisible());
  lifetime = std::make_unique<ScopedEnv>("FAKE_ENGINE_LIFETIME_MS", "5000");
  tray->localServerAction()->trigger();
  EXPECT_TRUE(processEventsUntil([this] { return starts() == 3; }));
  emit tray->menu()->aboutToShow();
  EXPECT_FALSE(tray->localServerAction()->isVisible());
  agent->shutdown();
}

TEST_F(RestartPolicy, AnEngineThatLivesLongerThanTheWindowIsRestartedEveryTime) {
  startWithFakeEngine(static_cast<int>(lmr::Agent::kModeHybrid), 400ms);
  tray->setRapidDeathWindow(200ms);
  agent->startEngineProcess(false);
  EXPECT_TRUE(processEventsUntil([this] { return starts() >= 4; }, 8000ms)) << starts();
  for (const std::string& line : readLines(argsFile)) {
    EXPECT_EQ(line.find("--master"), std::string::npos) << line;
  }
}

TEST_F(TrayTest, ModeChangeIsSavedAndAnnouncedOnlyWhenItDiffers) {
  start(static_cast<int>(lmr::Agent::kModeHybrid));
  QStringList shown;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&shown] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown << box->windowTitle() + QStringLiteral(": ") + box->text();
      box->accept();
    }
  });
  closer.start(20);
  tray->slotModeHybrid();
  EXPECT_TRUE(shown.isEmpty());
  tray->slotModeMaster();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown.front(), QStringLiteral("Mode Changed: Mode will be set to \"Master\" next time this Agent starts"));
  EXPECT_NE(testing_support::readFile(lmr::Config::instance().configPath()).find("\"mode\":1"), std::string::npos);
  // The running agent keeps its mode; the mode slots have no menu entries to check.
  EXPECT_EQ(agent->mode(), lmr::Agent::kModeHybrid);
  tray->slotUpdateModeMenu();
}

TEST_F(RestartPolicy, DestroyedTrayHearsNothingMore) {
  startWithFakeEngine(static_cast<int>(lmr::Agent::kModeHybrid), 0ms);
  window.reset();
  // The agent still runs; its reports must not reach the freed tray.
  resolve("_lumoraT_a", "a.local.", "127.0.0.1", 9000);
  agent->startEngineProcess(false);
  processEventsUntil([] { return false; }, 400ms);
  EXPECT_TRUE(recorder.urls.isEmpty());
  EXPECT_EQ(starts(), 1u);
}

TEST_F(TrayTest, AboutShowsThePictureAndTheVersion) {
  start();
  lmr::MainWindow::About about(agent->splashPixmap());
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About"));
  EXPECT_FALSE(about.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
  EXPECT_EQ(about.size(), QSize(600, 250));
  const QImage image = about.grab().toImage();
  QDir().mkpath(QStringLiteral(LUMORA_TEST_OUTPUT_DIR));
  image.save(QStringLiteral(LUMORA_TEST_OUTPUT_DIR "/about.png"));
  // The version line is drawn in rgb(240, 240, 240) near the bottom right.
  int textPixels = 0;
  for (int y = 250 - 38; y < 250; ++y) {
    for (int x = 300; x < 600 - 7; ++x) {
      textPixels += image.pixelColor(x, y) == QColor(240, 240, 240) ? 1 : 0;
    }
  }
  EXPECT_GT(textPixels, 20);
}

// The menu as drawn: attaching changes the title row and enables the web-app row, and leaves the
// other rows as they were; every entry row carries drawn text.
TEST_F(TrayTest, MenuScreenshotsShowTheAttachmentInTheTitleAndWebAppRows) {
  start();
  const auto rowOf = [this](const QImage& menu, QAction* action) {
    return menu.copy(tray->menu()->actionGeometry(action));
  };
  const auto inked = [](const QImage& row) {
    const QRgb background = row.pixel(0, 0);
    int pixels = 0;
    for (int y = 0; y < row.height(); ++y) {
      for (int x = 0; x < row.width(); ++x) pixels += row.pixel(x, y) != background ? 1 : 0;
    }
    return pixels;
  };
  emit tray->menu()->aboutToShow();
  const QImage unattached = tray->menu()->grab().toImage();
  resolve("_lumoraT_a", "studio-a.local.", "127.0.0.1", 9000);
  emit tray->menu()->aboutToShow();
  const QImage attached = tray->menu()->grab().toImage();
  QDir().mkpath(QStringLiteral(LUMORA_TEST_OUTPUT_DIR));
  attached.save(QStringLiteral(LUMORA_TEST_OUTPUT_DIR "/tray_menu_offscreen.png"));
  window->grab().save(QStringLiteral(LUMORA_TEST_OUTPUT_DIR "/main_window_offscreen.png"));

  ASSERT_EQ(unattached.size(), attached.size());
  for (QAction* action : tray->menu()->actions()) {
    if (action->isSeparator() || !action->isVisible()) continue;
    const QImage before = rowOf(unattached, action);
    const QImage after = rowOf(attached, action);
    EXPECT_GT(inked(after), 20) << action->text().toStdString();
    const bool changes = action == tray->titleAction() || action == tray->webAppAction();
    EXPECT_EQ(before != after, changes) << action->text().toStdString();
  }
}

// Unattached, the title and web-app rows are disabled: in either theme their texts are visibly
// dimmer than the enabled "Settings..." row's.
TEST_F(TrayTest, UnattachedMenuDimsItsDisabledRowsInBothThemes) {
  theme_test::ThemeReset reset;
  start();
  for (const char* theme : {"light", "dark"}) {
    ScopedEnv colour("LUMORA_FOREGROUND", std::string(theme == std::string("dark") ? "255,255,255" : "0,0,0"));
    QBXTheme::install(qobject_cast<QApplication*>(QCoreApplication::instance()));
    emit tray->menu()->aboutToShow();
    const QImage menu = tray->menu()->grab().toImage();
    menu.save(theme_test::screenshotPath(QStringLiteral("tray_menu_unattached_%1.png").arg(theme)));
    QAction* settings = nullptr;
    for (QAction* action : tray->menu()->actions()) {
      if (action->text() == "&Settings...") settings = action;
    }
    ASSERT_NE(settings, nullptr);
    const int enabled = theme_test::inkContrast(menu, tray->menu()->actionGeometry(settings));
    EXPECT_GT(enabled, 120) << theme;
    for (QAction* disabled : {tray->titleAction(), tray->webAppAction()}) {
      ASSERT_FALSE(disabled->isEnabled());
      EXPECT_LT(theme_test::inkContrast(menu, tray->menu()->actionGeometry(disabled)), enabled - 50)
          << theme << ": " << disabled->text().toStdString();
    }
    QBXTheme::instance(false)->slotApplicationAboutToQuit();  // light first: its palette is the one started with
  }
}

// On an X display with a system tray (trayer): the real icon, clicked with xdotool.
class X11Tray : public TrayTest {
 protected:
  void click(int button) {
    const QPoint centre = tray->trayIcon()->geometry().center();
    QProcess::startDetached(QStringLiteral("xdotool"),
                            {QStringLiteral("mousemove"), QString::number(centre.x()), QString::number(centre.y()),
                             QStringLiteral("click"), QString::number(button)});
  }
  // The icon may still be docking into the tray when it first reports a geometry: retry.
  bool openMenuByRightClick() {
    for (int attempt = 0; attempt < 4; ++attempt) {
      click(3);
      if (processEventsUntil([this] { return tray->menu()->isVisible(); }, 1500ms)) {
        return true;
      }
    }
    return false;
  }
  void closeMenu() {
    tray->menu()->hide();
    processEventsUntil([] { return false; }, 200ms);
  }
  void saveScreen(const char* name) {
    QDir().mkpath(QStringLiteral(LUMORA_TEST_OUTPUT_DIR));
    QGuiApplication::primaryScreen()->grabWindow(0).save(QStringLiteral(LUMORA_TEST_OUTPUT_DIR "/") +
                                                         QString::fromLatin1(name));
  }
};

TEST_F(X11Tray, IconSitsInTheTrayAndItsMenuTitleFollowsTheAttachment) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
    GTEST_SKIP() << "needs an X display with a system tray";
  }
  start();
  ASSERT_TRUE(processEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));
  ASSERT_TRUE(processEventsUntil([this] { return !tray->trayIcon()->geometry().isEmpty(); }));
  EXPECT_EQ(tray->trayIcon()->geometry().size(), QSize(22, 22));

  ASSERT_TRUE(openMenuByRightClick()) << "icon at " << tray->trayIcon()->geometry().x() << ","
                                      << tray->trayIcon()->geometry().y();
  EXPECT_EQ(tray->titleAction()->text(), QStringLiteral("LUMORA - No Server Running"));
  EXPECT_FALSE(tray->webAppAction()->isEnabled());
  saveScreen("x11_tray_menu_unattached.png");
  closeMenu();
  // A left click with no server does nothing.
  click(1);
  processEventsUntil([] { return false; }, 400ms);
  EXPECT_TRUE(recorder.urls.isEmpty());

  resolve("_lumoraT_a", "studio-a.local.", "127.0.0.1", 9000);
  ASSERT_EQ(recorder.urls.size(), 1);
  ASSERT_TRUE(openMenuByRightClick());
  // Without the DNS name's root dot.
  EXPECT_EQ(tray->titleAction()->text(), QStringLiteral("LUMORA - Server on studio-a.local"));
  EXPECT_TRUE(tray->webAppAction()->isEnabled());
  saveScreen("x11_tray_menu_attached.png");
  closeMenu();
  // Now a left click opens the web app.
  click(1);
  EXPECT_TRUE(processEventsUntil([this] { return recorder.urls.size() == 2; }));
}

// Qt reports a click on the icon while a message shows as a message click too.
TEST_F(X11Tray, AClickOnTheIconWhileAMessageShowsOpensTheWebAppOnce) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
    GTEST_SKIP() << "needs an X display with a system tray";
  }
  start();
  ASSERT_TRUE(processEventsUntil([this] { return !tray->trayIcon()->geometry().isEmpty(); }));
  resolve("_lumoraT_a", "studio-a.local.", "127.0.0.1", 9000);
  ASSERT_EQ(recorder.urls.size(), 1);  // the attachment's own opening; its message now shows
  processEventsUntil([] { return false; }, 500ms);
  saveScreen("x11_tray_message.png");
  click(1);
  EXPECT_TRUE(processEventsUntil([this] { return recorder.urls.size() == 2; }));
  processEventsUntil([] { return false; }, 500ms);
  EXPECT_EQ(recorder.urls.size(), 2);

  tray->showTrayMessage(QStringLiteral("Server Found"), QStringLiteral("Attached to 127.0.0.1:9000"));
  processEventsUntil([] { return false; }, 500ms);
  ASSERT_TRUE(openMenuByRightClick());
  processEventsUntil([] { return false; }, 500ms);
  EXPECT_EQ(recorder.urls.size(), 2);  // the menu, and no browser
  closeMenu();
}

}  // namespace

#include "TrayTest.moc"
