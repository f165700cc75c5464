#include "agent/src/MainWindow.h"
#include "agent/src/PluginWindow.h"

namespace lmr {

void MainWindow::Tray::slotShowPluginsManager() {
  if (pictureFolders.isEmpty()) {
    pictureFolders = defaultPictureFolders();
  }
  auto window = std::make_unique<PluginWindow>();
  // The old window goes first: its destruction ends and joins the downloads it started.
  pluginWindow = std::move(window);
  auto* shown = static_cast<PluginWindow*>(pluginWindow.get());
  if (const std::shared_ptr<Document> document = agent_.get("$")) {
    shown->updateModel(*document);
  }
  shown->buildUi(pictureFolders);
  shown->show();
}

}  // namespace lmr
