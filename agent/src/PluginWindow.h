#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "agent/src/DownloadWorker.h"
#include "agent/src/Json.h"
#include "agent/src/PluginCatalogue.h"
#include "agent/src/RowDisplay.h"

class QLabel;
class QPushButton;
class QScrollArea;

namespace lmr {

inline constexpr const char* kPluginWindowTitle = "Plugin Manager";

// The plug-in manager: installed plug-ins of the attached engine beside the catalogue's offer.
// Its widgets lie on one table widget inside a scroll area, which scrolls only when the table
// is taller than the screen. Its destruction ends and joins the downloads it started.
class PluginWindow : public QWidget {
  Q_OBJECT

 public:
  PluginWindow();
  ~PluginWindow() override;

  // Builds the fixed widgets and runs the first catalogue fetch.
  void buildUi(const QStringList& pictureFolders);
  // Places the header and builds or refreshes one row per record.
  void buildTable();
  // Fetches "plugins.json" within the time of one window-thread fetch; on success shows
  // "CONNECTED" and builds the table.
  bool fetchCatalogue();

  // Hands a row's download to a thread of this window.
  void startDownload(std::unique_ptr<downloadWorker> worker);

  [[nodiscard]] const QStringList& pictureFolderList() const { return pictureFolders; }
  [[nodiscard]] const QStringList& pluginFolderList() const { return pluginDirectories; }
  [[nodiscard]] const std::map<QString, std::pair<int32_t, int32_t>>& installed() const { return installedPlugins; }
  [[nodiscard]] const std::map<QString, PluginRecord>& records() const { return catalogue; }
  [[nodiscard]] RowDisplay* row(const QString& name) const;
  [[nodiscard]] QLabel* siteStatus() const { return siteStatusLabel; }
  [[nodiscard]] QPushButton* updateInfoButton() const { return updateButton; }
  [[nodiscard]] QWidget* tableWidget() const { return table; }
  [[nodiscard]] QScrollArea* scroller() const { return scrollArea; }

 signals:
  void stopEngine();
  void startEngine();

 public slots:
  void updateModel(const lmr::Document& jsJSon);
  void refreshRemote();
  void toggleEngine();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Gives the table its height and the window as much of it as the screen holds.
  void fitToScreen(int contentHeight);
  // The catalogue state in its colour, in a cell as wide as its text needs.
  void showSiteStatus(const QString& text, const char* style);

  std::map<QString, std::pair<int32_t, int32_t>> installedPlugins;
  std::map<QString, PluginRecord> catalogue;
  std::map<QString, std::unique_ptr<RowDisplay>> rows;
  std::mutex windowMutex;
  QStringList pluginDirectories;
  bool engineRunning = false;
  QPushButton* updateButton = nullptr;
  QPushButton* engineButton = nullptr;
  QLabel* siteStatusLabel = nullptr;
  QLabel* pluginsHeader = nullptr;
  QLabel* iconsHeader = nullptr;
  QLabel* nameHeader = nullptr;
  QLabel* descriptionHeader = nullptr;
  QLabel* stabilityHeader = nullptr;
  QLabel* installedHeader = nullptr;
  QStringList pictureFolders;
  QScrollArea* scrollArea = nullptr;
  QWidget* table = nullptr;
  // Declared last: destroyed first, so downloads end before the rows and records go.
  DownloadThreads downloads;
};

// The engine's plug-in folder text when it names one of this agent's own plug-in folders (an
// existing local folder, as written or after resolving the own folder's links); empty
// otherwise. Only the own folders are looked at on disk: a folder the engine names may be a
// dead network mount. A remote engine must not choose where this agent writes code.
[[nodiscard]] QString ownPluginFolder(const QString& reported);

// The folders device pictures go to, each ending in '/': the per-user pictures folder, and
// the program's own "pictures" folder when the program is the agent.
[[nodiscard]] QStringList defaultPictureFolders();

}  // namespace lmr
