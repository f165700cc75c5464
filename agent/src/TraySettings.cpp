#include "agent/src/MainWindow.h"
#include "agent/src/Settings.h"

namespace lmr {

void MainWindow::Tray::showSettings() {
  Settings dialog(agent_);
  dialog.run();
}

}  // namespace lmr
