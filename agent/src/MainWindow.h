#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QMainWindow>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>

#include <chrono>
#include <memory>
#include <string>

#include "agent/src/Agent.h"

class QAction;
class QCloseEvent;
class QMenu;
class QPaintEvent;
class QWidget;

namespace lmr {

class BrowserLauncher;
class PluginWindow;

// The agent's never-shown main window. It owns the tray icon, which is the whole user interface,
// and lives from start-up to the end of the Qt loop.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  class Tray;
  class About;
  class Settings;

  // Registers the tray with the agent and, unless startAgent is false (tests), runs the agent's
  // start: the splash and the server search run inside this constructor.
  explicit MainWindow(Agent& agent = Agent::instance(), bool startAgent = true);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // The one main window of the process; null before its construction ends and after its destruction.
  [[nodiscard]] static MainWindow* instance();

  [[nodiscard]] Tray* tray() const { return tray_.get(); }

 protected:
  // Closing only hides: the agent keeps running in the tray.
  void closeEvent(QCloseEvent* event) override;

 private:
  std::unique_ptr<Tray> tray_;
};

// The tray icon with its menu, and the agent's listener: reports from the agent's threads become
// queued signals handled on the GUI thread.
class MainWindow::Tray : public QObject, public Agent::Listener {
  Q_OBJECT

 public:
  // An engine that dies again within this time of its last restart is given up.
  static constexpr std::chrono::milliseconds kDefaultRapidDeathWindow{30001};
  // The web app opens by itself (on a new attachment) at most once in this time.
  static constexpr std::chrono::milliseconds kDefaultAutoOpenInterval{60000};
  // How long a tray message stays.
  static constexpr int kMessageMilliseconds = 10000;
  static constexpr const char* kManualUrl =
      "https://www.brixeltechnologies.com/uploads/assets/Installers/LUMORA/2.0/LUMORA_User_Manual_2.0.pdf";

  Tray(MainWindow* window, Agent& agent, bool startAgent);
  ~Tray() override;
  Tray(const Tray&) = delete;
  Tray& operator=(const Tray&) = delete;

  // Saves the mode for the next start and says so, when it differs from the running one.
  void setMode(int mode);

  // The agent was started again while this one runs: opens the web app, or says in a tray
  // message that no server is attached yet (false then).
  bool showWebAppForLaterStart();

  // Shows a tray message and logs it, so it stays visible where no tray exists.
  void showTrayMessage(const QString& title, const QString& text);

  // Agent::Listener, called on the agent's threads: each only emits a signal.
  void onAttached(const std::string& address) override;
  void onDetached(const std::string& address) override;
  void onNotification(const std::string& text) override;
  void onEngineDied() override;

  [[nodiscard]] Agent& agent() const { return agent_; }

  // For tests: the menu, its entries and the restart window.
  [[nodiscard]] QMenu* menu() const { return menu_; }
  [[nodiscard]] QAction* titleAction() const { return titleAction_; }
  [[nodiscard]] QAction* webAppAction() const { return webAppAction_; }
  [[nodiscard]] QAction* localServerAction() const { return localServerAction_; }
  [[nodiscard]] QSystemTrayIcon* trayIcon() const { return trayIcon_.get(); }
  void setRapidDeathWindow(std::chrono::milliseconds window) { rapidDeathWindow_ = window; }
  void setAutoOpenInterval(std::chrono::milliseconds interval) { autoOpenInterval_ = interval; }

  // The plug-in manager window, null until first opened; deleted with the tray.
  std::unique_ptr<PluginWindow> pluginWindow;
  // Device picture folders, filled when the plug-in manager first opens.
  QStringList pictureFolders;

 signals:
  void signalAttachChanged(QString address, bool attached);
  void signalNotification(QString message);
  void signalEngineDied();

 public slots:
  void iconActivated(QSystemTrayIcon::ActivationReason reason);
  void messageClicked();
  void showWebApp();
  void startLocalServer();
  void quit();
  void slotModeMaster();
  void slotModeSlave();
  void slotModeHybrid();
  void slotUpdatePopupMenu();
  void slotUpdateModeMenu();
  void slotShowPluginsManager();
  void showSettings();
  void showHelpAbout();
  void showDocumentation();
  void slotAttachChanged(QString address, bool attached);
  void slotNotification(QString message);
  void slotEngineDied();
  // The browser did not come up: the address is logged and shown, to be opened by hand.
  void slotBrowserFailed(QString url, QString reason);

 private:
  Agent& agent_;
  QIcon icon_;
  QMenu* menu_ = nullptr;  // child of the main window
  QAction* titleAction_ = nullptr;
  QAction* webAppAction_ = nullptr;
  QAction* localServerAction_ = nullptr;
  // Mode entries have no place in the menu; they stay null.
  QAction* modeMasterAction_ = nullptr;
  QAction* modeSlaveAction_ = nullptr;
  QAction* modeHybridAction_ = nullptr;
  std::unique_ptr<QSystemTrayIcon> trayIcon_;
  // Opens http and https addresses for QDesktopServices and reports a browser that did not start.
  std::unique_ptr<BrowserLauncher> browser_;
  QElapsedTimer restartTimer_;
  std::chrono::milliseconds rapidDeathWindow_ = kDefaultRapidDeathWindow;
  // Address whose web app was opened last, so a re-attachment to it opens no second browser.
  QString lastOpenedAddress_;
  // When the web app last opened by itself.
  QElapsedTimer lastAutoOpen_;
  std::chrono::milliseconds autoOpenInterval_ = kDefaultAutoOpenInterval;
  bool messageClickPending_ = false;
  bool registered_ = false;
};

// The About dialog: the splash picture with the version text.
class MainWindow::About : public QDialog {
  Q_OBJECT

 public:
  // The picture is the agent's splash picture, which outlives the dialog.
  explicit About(const QPixmap& picture);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const QPixmap& picture_;
};

}  // namespace lmr
