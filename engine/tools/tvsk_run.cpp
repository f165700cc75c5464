// Runs the engine in the foreground until Ctrl+C (or SIGTERM), as an engine server would:
// filters, start, wait, stop. The settings come from the environment (TVSK_HTTP_PORT,
// TVSK_PLUGIN_DIRS, TVSK_PLUGINS, TVSK_DEVICES_FILE, TVSK_SERVICE_NAME).
// Usage: tvsk-run [--master] [ADDRESS NETMASK]...
#include <csignal>

#include "TaviskEngine.h"
#include "engine/src/EngineLog.h"
#include "engine/tools/tool_arguments.h"

int main(int argc, char** argv) {
  int arg = 1;
  const int role = tvsk_tools::takeRole(argc, argv, arg);
  if ((argc - arg) % 2 != 0) {
    tvsk::printLine("usage: tvsk-run [--master] [ADDRESS NETMASK]...", tvsk::Console::Error);
    return 2;
  }
  // Signals are taken by sigwait below, so every engine thread inherits them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  tvsk_tools::addInterfaceFilters(argc, argv, arg);
  if (TVSK_Initialize(-1, 0, role) != 0) {
    return 1;
  }
  tvsk::printLine("Engine running; Ctrl+C stops it.");
  int received = 0;
  sigwait(&stopSignals, &received);
  TVSK_Uninitialize();
  return 0;
}
