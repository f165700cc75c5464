#include "agent/src/MainWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QTimer>
#include <QUrl>

#include <utility>

#include "agent/src/BrowserLauncher.h"
#include "agent/src/MessageBox.h"
#include "agent/src/PluginWindow.h"
#include "agent/src/Settings.h"
#include "agent/src/SplashWindow.h"
#include "agent/src/Version.h"
#include "log/console_log.h"
#include "zeroconf/src/service_name.h"

namespace lmr {

namespace {

MainWindow* theMainWindow = nullptr;

int scaled(int pixels) { return static_cast<int>(static_cast<float>(pixels) * dpiScale); }

}  // namespace

MainWindow::MainWindow(Agent& agent, bool startAgent) {
  setWindowFlags((windowFlags() & ~Qt::WindowMaximizeButtonHint) | Qt::MSWindowsFixedSizeDialogHint);
  resize(scaled(480), scaled(320));
  tray_ = std::make_unique<Tray>(this, agent, startAgent);
  // Published only now: a second agent's message during the splash finds no tray yet.
  theMainWindow = this;
}

MainWindow::~MainWindow() {
  theMainWindow = nullptr;
  tray_.reset();
}

MainWindow* MainWindow::instance() { return theMainWindow; }

void MainWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  hide();
}

MainWindow::Tray::Tray(MainWindow* window, Agent& agent, bool startAgent)
    : agent_(agent), icon_(QStringLiteral(":/app_default")) {
  menu_ = new QMenu(QStringLiteral("App"), window);
  titleAction_ = menu_->addAction(QStringLiteral("Title"));
  titleAction_->setEnabled(false);
  menu_->addSeparator();
  webAppAction_ = menu_->addAction(QStringLiteral("Open &Web App"), this, &Tray::showWebApp);
  webAppAction_->setEnabled(false);
  localServerAction_ = menu_->addAction(QStringLiteral("Start Local Server"), this, &Tray::startLocalServer);
  menu_->addAction(QStringLiteral("&Settings..."), this, &Tray::showSettings);
  menu_->addSeparator();
  menu_->addAction(QStringLiteral("&User Manual"), this, &Tray::showDocumentation);
  menu_->addAction(QStringLiteral("&About"), this, &Tray::showHelpAbout);
  menu_->addAction(QStringLiteral("&Quit"), this, &Tray::quit);
  connect(menu_, &QMenu::aboutToShow, this, &Tray::slotUpdatePopupMenu);
  window->menuBar()->addMenu(menu_);

  trayIcon_ = std::make_unique<QSystemTrayIcon>(icon_);
  trayIcon_->setContextMenu(menu_);
  trayIcon_->setToolTip(QStringLiteral("LUMORA ") + Agent::versionText());
  connect(trayIcon_.get(), &QSystemTrayIcon::activated, this, &Tray::iconActivated);
  connect(trayIcon_.get(), &QSystemTrayIcon::messageClicked, this, &Tray::messageClicked);

  // Qt's own opener reports success once xdg-open has started, even when no browser came up.
  browser_ = std::make_unique<BrowserLauncher>();
  connect(browser_.get(), &BrowserLauncher::failed, this, &Tray::slotBrowserFailed);
  for (const QString& scheme : {QStringLiteral("http"), QStringLiteral("https")}) {
    QDesktopServices::setUrlHandler(scheme, browser_.get(), "open");
  }

  // Always queued: the agent reports attachments with its mutex held, and the slots take it.
  connect(this, &Tray::signalAttachChanged, this, &Tray::slotAttachChanged, Qt::QueuedConnection);
  connect(this, &Tray::signalNotification, this, &Tray::slotNotification, Qt::QueuedConnection);
  connect(this, &Tray::signalEngineDied, this, &Tray::slotEngineDied, Qt::QueuedConnection);

  trayIcon_->show();
  agent_.addListener(this);
  registered_ = true;
  if (startAgent) {
    agent_.start();
  }
}

MainWindow::Tray::~Tray() {
  // The agent outlives the tray: no report may reach it once it is gone.
  if (registered_) {
    agent_.removeListener(this);
  }
  pluginWindow.reset();
  trayIcon_.reset();
  for (const QString& scheme : {QStringLiteral("http"), QStringLiteral("https")}) {
    QDesktopServices::unsetUrlHandler(scheme);
  }
}

void MainWindow::Tray::showTrayMessage(const QString& title, const QString& text) {
  writeLog(kLogInfo, LOG_FILE, __LINE__, "%s: %s\n", title.toLocal8Bit().constData(), text.toLocal8Bit().constData());
  trayIcon_->showMessage(title, text, QSystemTrayIcon::Information, kMessageMilliseconds);
}

void MainWindow::Tray::setMode(int mode) {
  if (!agent_.setMode(mode)) {
    return;
  }
  if (Config::instance().unsaved()) {
    showNotSavedBox();
    return;
  }
  showThemedMessageBox(nullptr, QStringLiteral("Mode Changed"),
                       QStringLiteral("Mode will be set to \"") + Agent::modeName(mode) +
                           QStringLiteral("\" next time this Agent starts"),
                       QMessageBox::Information, QMessageBox::Ok);
}

void MainWindow::Tray::onAttached(const std::string& address) {
  emit signalAttachChanged(QString::fromLatin1(address.c_str()), true);
}

void MainWindow::Tray::onDetached(const std::string& address) {
  emit signalAttachChanged(QString::fromLatin1(address.c_str()), false);
}

void MainWindow::Tray::onNotification(const std::string& text) {
  emit signalNotification(QString::fromLatin1(text.c_str()));
}

void MainWindow::Tray::onEngineDied() { emit signalEngineDied(); }

void MainWindow::Tray::iconActivated(QSystemTrayIcon::ActivationReason reason) {
  // The click on the icon that Qt reported as a message click first is this one.
  messageClickPending_ = false;
  if (reason == QSystemTrayIcon::Trigger && !agent_.attachedAddress().empty()) {
    showWebApp();
  }
}

void MainWindow::Tray::messageClicked() {
  // While a message shows, Qt reports any click on the icon as a message click too, just before
  // the icon's own activation: only a click that no activation follows is on the message.
  messageClickPending_ = true;
  QTimer::singleShot(0, this, [this] {
    if (std::exchange(messageClickPending_, false) && !agent_.attachedAddress().empty()) {
      showWebApp();
    }
  });
}

void MainWindow::Tray::showWebApp() {
  const std::string address = agent_.attachedAddress();
  if (address.empty()) {
    // Reached also by a second agent started before any server was found.
    writeLog(kLogInfo, LOG_FILE, __LINE__, "No LUMORA server attached: the web app cannot be opened\n");
    return;
  }
  const QString url = QStringLiteral("http://") + QString::fromLatin1(address.c_str()) + QStringLiteral("/");
  writeLog(kLogInfo, LOG_FILE, __LINE__, "Opening the web app at %s\n", url.toLatin1().constData());
  QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

bool MainWindow::Tray::showWebAppForLaterStart() {
  if (agent_.attachedAddress().empty()) {
    showTrayMessage(QStringLiteral("No Server Yet"),
                    QStringLiteral("LUMORA is running, but no server is attached yet: the web app opens once one is "
                                   "found"));
    return false;
  }
  showWebApp();
  return true;
}

void MainWindow::Tray::startLocalServer() { agent_.startEngineProcess(false); }

void MainWindow::Tray::quit() {
  // Also ends a connect sequence still running behind the splash.
  agent_.requestStop();
  QCoreApplication::exit(0);
}

void MainWindow::Tray::slotModeMaster() { setMode(static_cast<int>(Agent::kModeMaster)); }

void MainWindow::Tray::slotModeSlave() { setMode(static_cast<int>(Agent::kModeSlave)); }

void MainWindow::Tray::slotModeHybrid() { setMode(static_cast<int>(Agent::kModeHybrid)); }

void MainWindow::Tray::slotUpdatePopupMenu() {
  // DNS-SD names the host fully qualified ("vm.local."); people write it without the root dot.
  // DNS escapes non-ASCII bytes ("J\195\188rgen"): shown as the UTF-8 text they are.
  QString host = QString::fromStdString(zeroconf::unescape_domain_name(agent_.attachedHost()));
  if (host.endsWith(QLatin1Char('.'))) {
    host.chop(1);
  }
  titleAction_->setText(host.isEmpty() ? QStringLiteral("LUMORA - No Server Running")
                                       : QStringLiteral("LUMORA - Server on ") + host);
  localServerAction_->setVisible(agent_.canStartLocalServer());
}

void MainWindow::Tray::slotUpdateModeMenu() {
  const uint32_t mode = agent_.mode();
  const std::pair<QAction*, uint32_t> entries[] = {{modeMasterAction_, Agent::kModeMaster},
                                                   {modeSlaveAction_, Agent::kModeSlave},
                                                   {modeHybridAction_, Agent::kModeHybrid}};
  for (const auto& [action, actionMode] : entries) {
    if (action != nullptr) {
      action->setChecked(mode == actionMode);
    }
  }
}

void MainWindow::Tray::showHelpAbout() {
  About about(agent_.splashPixmap());
  about.exec();
}

void MainWindow::Tray::showDocumentation() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kManualUrl))); }

void MainWindow::Tray::slotAttachChanged(QString address, bool attached) {
  webAppAction_->setEnabled(attached);
  if (!attached) {
    showTrayMessage(QStringLiteral("Server Lost"), QStringLiteral("Detached from ") + address);
    return;
  }
  showTrayMessage(QStringLiteral("Server Found"), QStringLiteral("Attached to ") + address);
  // A report that is already out of date opens nothing, so it must not count as opened.
  if (address != lastOpenedAddress_ && QString::fromLatin1(agent_.attachedAddress().c_str()) == address) {
    // An advert that comes and goes must not open tab after tab: the user's clicks still open it.
    if (lastAutoOpen_.isValid() && lastAutoOpen_.elapsed() < autoOpenInterval_.count()) {
      writeLog(kLogInfo, LOG_FILE, __LINE__,
               "The web app at %s is not opened by itself: the browser opened less than %lld s ago\n",
               address.toLatin1().constData(), static_cast<long long>(autoOpenInterval_.count() / 1000));
      return;
    }
    showWebApp();
    lastOpenedAddress_ = address;
    lastAutoOpen_.start();
  }
}

void MainWindow::Tray::slotBrowserFailed(QString url, QString reason) {
  writeLog(kLogError, LOG_FILE, __LINE__, "Could not open %s in a browser (%s); open it by hand\n",
           url.toLocal8Bit().constData(), reason.toLocal8Bit().constData());
  showTrayMessage(QStringLiteral("Browser Not Opened"),
                  QStringLiteral("Open ") + url + QStringLiteral(" in a browser"));
}

void MainWindow::Tray::slotNotification(QString) {
  showTrayMessage(QStringLiteral("Server Not Found"), QStringLiteral("Could not find LUMORA server in the network"));
}

void MainWindow::Tray::slotEngineDied() {
  if (restartTimer_.isValid() && restartTimer_.elapsed() < rapidDeathWindow_.count()) {
    writeLog(kLogError, "MainWindow", __LINE__, "Engine Process dies rapidly. No further attempt to restart\n");
    showTrayMessage(QStringLiteral("Local Server Died"),
                    QStringLiteral("No further attempts to revive local server as it crashes rapidly"));
    return;
  }
  writeLog(kLogInfo, LOG_FILE, __LINE__, "Trying to restart Engine process...\n");
  agent_.startEngineProcess(agent_.mode() == Agent::kModeMaster);
  restartTimer_.start();
}

MainWindow::About::About(const QPixmap& picture) : picture_(picture) {
  setWindowTitle(QStringLiteral("About"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  resize(scaled(600), scaled(250));
}

void MainWindow::About::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QBXSplashWindow::paintPictureAndVersion(painter, size(), &picture_,
                                          QStringLiteral("Version ") + Agent::versionText());
}

}  // namespace lmr
