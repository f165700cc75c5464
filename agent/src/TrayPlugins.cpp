#include "agent/src/MainWindow.h"
#include "agent/src/PluginWindow.h"

namespace lmr {

void MainWindow::Tray::slotShowPluginsManager() {
  if (pictureFolders.isEmpty()) {
    pictureFolders = defaultPictureFolders();
  }
  // The old window goes first: its destruction ends and joins the downloads it started.
  pluginWindow = std::make_unique<PluginWindow>();
  if (const std::shared_ptr<Document> document = agent_.get("$")) {
    pluginWindow->updateModel(*document);
  }
  pluginWindow->buildUi(pictureFolders);
  pluginWindow->show();
}

}  // namespace lmr
