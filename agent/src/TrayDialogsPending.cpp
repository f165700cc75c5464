#include "agent/src/MainWindow.h"

// Placeholders until the settings dialog and the plug-in manager are built into the program.
namespace lmr {

void MainWindow::Tray::showSettings() {}

void MainWindow::Tray::slotShowPluginsManager() {}

}  // namespace lmr
