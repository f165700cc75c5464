#include <QApplication>
#include <QDesktopWidget>
#include <QFont>
#include <QSocketNotifier>
#include <QtGlobal>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

#include "agent/src/Agent.h"
#include "agent/src/CommandLine.h"
#include "agent/src/Config.h"
#include "agent/src/HttpClient.h"
#include "agent/src/MainWindow.h"
#include "agent/src/QSingletonApp.h"
#include "agent/src/SingleInstance.h"
#include "agent/src/Theme.h"
#include "agent/src/Version.h"
#include "log/console_log.h"
#include "platform/detached_process.h"

namespace {

// The engine server child polls its agent this often.
constexpr int kDefaultApidPollMs = 10000;
// Tests shorten the poll through this variable.
constexpr const char* kApidPollVariable = "LUMORA_APID_POLL_MS";
// Plug-in folder list the engine reads.
constexpr const char* kPluginDirsVariable = "TVSK_PLUGIN_DIRS";
// Plug-in files the engine does not load.
constexpr const char* kSkippedPluginsVariable = "TVSK_PLUGINS_SKIP";
// A later agent asks the running one to show its web app: a 32-bit 0.
constexpr int32_t kShowWebAppMessage = 0;

void printBanner() {
  const std::string stars(81, '*');
  std::fputs("\033[37m\033[1m\n", stdout);
  std::fputs((stars + "\n").c_str(), stdout);
  std::fputs(("**" + std::string(33, ' ') + "Lumora Agent" + std::string(32, ' ') + "**\n").c_str(), stdout);
  std::fputs(("**" + std::string(25, ' ') + "Inner Troubleshooting Logger" + std::string(24, ' ') + "**\n").c_str(),
             stdout);
  std::fputs((stars + "\n\n").c_str(), stdout);
  std::fputs("\033[0m", stdout);
  std::fflush(stdout);
}

bool noDisplayPlatform() {
  return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
         qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// The server roles run on machines without a display, where QApplication would abort: they get
// the offscreen platform unless a display or an explicit platform is there.
void chooseHeadlessPlatform(const lmr::CommandLine& commandLine) {
  if (commandLine.serverRole() && noDisplayPlatform()) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
}

// Nothing here draws with OpenGL; without this, Qt's X11 platform loads the OpenGL driver stack
// (with Mesa's software renderer, some 50 MB of resident memory) just to probe it.
void skipOpenGlProbe() {
  if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION")) {
    qputenv("QT_XCB_GL_INTEGRATION", "none");
  }
}

int apidPollMs() {
  bool ok = false;
  const int value = qEnvironmentVariableIntValue(kApidPollVariable, &ok);
  return ok && value > 0 ? value : kDefaultApidPollMs;
}

// SIGINT and SIGTERM end the event loop (and a tray agent's connect sequence) through a pipe, the
// one thing a signal handler may safely touch.
int signalPipe[2] = {-1, -1};

void onStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

std::unique_ptr<QSocketNotifier> quitOnStopSignals(QApplication& app, std::function<void()> quitting = {}) {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    return nullptr;
  }
  auto notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, &app, [&app, quitting] {
    lmr::Agent::instance().requestStop();
    if (quitting) quitting();
    app.quit();
  });
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return notifier;
}

// An installed program keeps the plug-ins of its own release in lib/lumora/plugins beside its bin
// folder. The engine reads the common and per-user plug-in folders, or the list in
// TVSK_PLUGIN_DIRS: when no list is given, it gets the agent's folders, which add the installed one.
void addInstalledPluginFolder() {
  if (!qEnvironmentVariableIsEmpty(kPluginDirsVariable)) {
    return;
  }
  QStringList folders;
  for (const std::string& folder : lmr::Config::instance().pluginFolders()) {
    folders << QString::fromStdString(folder);
  }
  qputenv(kPluginDirsVariable, folders.join(QLatin1Char(':')).toLocal8Bit());
}

// The engine skips the plug-in files the user turned off in the settings, besides any the
// environment already names.
void handOnPluginChoice() {
  QStringList files = qEnvironmentVariable(kSkippedPluginsVariable).split(QLatin1Char(':'), Qt::SkipEmptyParts);
  for (const std::string& file : lmr::Config::instance().disabledPluginFiles()) {
    files << QString::fromStdString(file);
  }
  if (!files.isEmpty()) {
    qputenv(kSkippedPluginsVariable, files.join(QLatin1Char(':')).toLocal8Bit());
  }
}

int runConsoleServer(QApplication& app, bool master) {
  openConsole();
  addInstalledPluginFolder();
  handOnPluginChoice();
  lmr::Agent& agent = lmr::Agent::instance();
  if (!agent.startEngine(master)) {
    writeLog(kLogError, LOG_FILE, __LINE__, "Failed to start the LUMORA engine\n");
    return 1;
  }
  const auto notifier = quitOnStopSignals(app);
  const int result = app.exec();
  agent.stopEngine();
  return result;
}

int runEngineServer(bool master, qint64 apid) {
  // Ends the moment the agent does; the id check stays for an engine started without it.
  const int lifeline = platform::takeLifeline(lmr::Agent::kLifelineVariable);
  addInstalledPluginFolder();
  handOnPluginChoice();
  lmr::Agent& agent = lmr::Agent::instance();
  if (!agent.startEngine(master)) {
    writeLog(kLogError, LOG_FILE, __LINE__, "Failed to start the LUMORA engine\n");
    return 1;
  }
  const std::chrono::milliseconds poll(apidPollMs());
  while (lmr::Agent::isProcessAlive(apid)) {
    if (lifeline < 0) {
      std::this_thread::sleep_for(poll);
    } else if (platform::waitForLifelineEnd(lifeline, poll)) {
      break;
    }
  }
  agent.stopEngine();
  return 0;
}

// A tray agent started while another of the same user runs asks that one to show its web app,
// says what it answered and ends; nothing of Qt exists yet, so this needs no display. Otherwise
// the instance lock stays held for the guard's listen.
struct InstanceCheck {
  bool anotherRuns = false;
  std::string path;  // empty: no private folder, no guard
  platform::UniqueFd lock;
};

InstanceCheck checkForRunningAgent() {
  InstanceCheck check;
  std::string problem;
  check.path = lmr::SingleInstance::socketPath(problem);
  if (check.path.empty()) {
    writeLog(kLogWarning, LOG_FILE, __LINE__,
             "No private folder for the single-instance socket (%s): another agent of this user is not looked for\n",
             problem.c_str());
    return check;
  }
  lmr::SingleInstance instance(check.path);
  const lmr::SingleInstance::Outcome outcome = instance.ask(kShowWebAppMessage);
  if (outcome != lmr::SingleInstance::Outcome::NoAgent) {
    writeLog(kLogInfo, LOG_FILE, __LINE__, "%s\n", lmr::secondStartLine(outcome, instance.answer()).c_str());
    check.anotherRuns = true;
    return check;
  }
  check.lock = instance.takeLock();
  return check;
}

// What this agent answers a later one.
std::optional<lmr::InstanceAnswer> answerLaterAgent(const QByteArray& message) {
  // Quitting: the later agent is to find this one gone and run in its place.
  if (lmr::Agent::instance().stopRequested()) {
    return std::nullopt;
  }
  if (!isShowWebAppMessage(message)) {
    return lmr::InstanceAnswer::NotUnderstood;
  }
  // The splash runs inside the main window's construction: until it is done there is no tray.
  const lmr::MainWindow* window = lmr::MainWindow::instance();
  if (window == nullptr || window->tray() == nullptr) {
    return lmr::InstanceAnswer::StillStarting;
  }
  return window->tray()->showWebAppForLaterStart() ? lmr::InstanceAnswer::WebAppOpened
                                                   : lmr::InstanceAnswer::NoServerYet;
}

int runTrayAgent(QApplication& app, InstanceCheck check) {
  QSingletonApp guard(QString::fromStdString(check.path));
  if (!check.path.empty()) {
    guard.listen(std::move(check.lock));
  }
  guard.setCallback(answerLaterAgent);
  // From the first moment of quitting, a later agent is not answered but runs in this one's place.
  const auto notifier = quitOnStopSignals(app, [&guard] { guard.stopListening(); });

  printBanner();
  lmr::dpiScale = static_cast<float>(QApplication::desktop()->logicalDpiX()) / 96.0f;
  QFont font(QStringLiteral("Calibri"), 10);
  font.setStyleHint(QFont::Monospace, QFont::PreferDefault);
  QApplication::setFont(font);
  QBXTheme::install(&app);

  lmr::Agent& agent = lmr::Agent::instance();
  lmr::MainWindow window;
  // Quit during the splash: the loop must not even start.
  const int result = agent.stopRequested() ? 0 : app.exec();
  // An agent started from now on must not hand its message to this one.
  guard.stopListening();
  agent.shutdown();
  return result;
}

QStringList argumentList(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) {
    arguments << QString::fromLocal8Bit(argv[i]);
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  // libcurl's global set-up is not thread-safe: it runs before any thread exists.
  lmr::initHttpClient();
  // Read before the application exists: the role decides whether it needs a display.
  lmr::CommandLine commandLine;
  QString error;
  if (!commandLine.parse(argumentList(argc, argv), error)) {
    std::fprintf(stderr, "LUMORA: %s\n", error.toLocal8Bit().constData());
    return 1;
  }
  chooseHeadlessPlatform(commandLine);
  skipOpenGlProbe();
  // The tray agent needs a desktop: say what to do instead of Qt's abort.
  if (noDisplayPlatform()) {
    std::fputs(
        "No display: the tray agent needs a desktop (DISPLAY or WAYLAND_DISPLAY); "
        "start the console server with --serverd 1\n",
        stderr);
    return 1;
  }

  InstanceCheck check;
  if (!commandLine.serverRole()) {
    check = checkForRunningAgent();
    if (check.anotherRuns) {
      return 0;
    }
  }

  QApplication app(argc, argv);
  QGuiApplication::setQuitOnLastWindowClosed(false);

  lmr::Config::instance().load();

  if (commandLine.serverd) {
    return runConsoleServer(app, commandLine.master);
  }
  if (commandLine.server) {
    return runEngineServer(commandLine.master, commandLine.apid);
  }
  return runTrayAgent(app, std::move(check));
}
