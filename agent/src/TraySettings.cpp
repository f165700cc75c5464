#include "agent/src/MainWindow.h"
#include "agent/src/Settings.h"

namespace lmr {

void MainWindow::Tray::showSettings() {
  Settings dialog(agent_);
  if (dialog.exec() != QDialog::Accepted) {
    return;
  }
  dialog.apply([this](int mode) { setMode(mode); });
}

}  // namespace lmr
