#include "agent/src/PluginWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "agent/src/CatalogueHttp.h"
#include "agent/src/Config.h"
#include "log/console_log.h"
#include "platform/app_data.h"

namespace lmr {
namespace {

constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;
constexpr int kFirstRowTop = 140;
constexpr int kBottomMargin = 30;
constexpr const char* kAgentProgramName = "LUMORA";
// Rows shown at most; each is made of several widgets.
constexpr std::size_t kMaxRows = 200;
// Room the screen keeps for the title bar and panels when the window is as tall as it gets.
constexpr int kScreenMargin = 80;
// The catalogue state at the top right: at least this cell, wider to the left for a longer text.
constexpr int kSiteStatusRight = 780;
constexpr int kSiteStatusTop = 20;
constexpr int kSiteStatusMinWidth = 120;
constexpr int kSiteStatusHeight = 30;
constexpr int kSiteStatusPadding = 8;

QLabel* headerLabel(const char* text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  label->setAlignment(Qt::AlignCenter);
  label->hide();
  return label;
}

void placeHeader(QLabel* label, const char* style, int x, int y, int width, int height) {
  label->setStyleSheet(style);
  label->setGeometry(x, y, width, height);
  label->show();
}

// A version member of the engine document: an integer, or null for 0; anything else unusable.
std::optional<int32_t> versionOf(const Value& value) {
  if (value.IsInt()) {
    return value.GetInt();
  }
  if (value.IsNull()) {
    return 0;
  }
  return std::nullopt;
}

// The engine may name plug-ins by file; the catalogue names them by stem.
QString pluginStem(const QString& name) {
  const QString suffix = QString::fromLatin1(platform::kSharedLibrarySuffix);
  return name.endsWith(suffix) && name.size() > suffix.size() ? name.left(name.size() - suffix.size()) : name;
}

}  // namespace

PluginWindow::PluginWindow() {
  resize(kWindowWidth, kWindowHeight);
  setWindowTitle(kPluginWindowTitle);
  // Neither the scroll area nor the table paints: the window's own colour shows through.
  scrollArea = new QScrollArea(this);
  scrollArea->setFrameShape(QFrame::NoFrame);
  scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);  // the window widens instead
  table = new QWidget;
  table->setFixedSize(kWindowWidth, kWindowHeight);
  scrollArea->setWidget(table);
  table->setAutoFillBackground(false);
  scrollArea->viewport()->setAutoFillBackground(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(scrollArea);
}

PluginWindow::~PluginWindow() = default;

void PluginWindow::updateModel(const Document& jsJSon) {
  const Value& config = member(jsJSon, "Config");
  const Value& plugins = member(config, "Plugins");
  if (plugins.IsArray()) {
    for (const Value& element : plugins.GetArray()) {
      if (!element.IsObject()) {
        std::printf("not an object [%s]\n", "Major");
        std::fflush(stdout);
        continue;
      }
      if (!element.HasMember("Major") || !element.HasMember("Minor") || !element.HasMember("Name")) {
        continue;
      }
      const Value& name = element["Name"];
      const auto major = versionOf(element["Major"]);
      const auto minor = versionOf(element["Minor"]);
      if (!name.IsString() || !major || !minor) {
        writeLog(kLogWarning, LOG_FILE, __LINE__, "Engine plug-in entry with a wrongly typed member; skipped\n");
        continue;
      }
      installedPlugins[pluginStem(QString::fromStdString(name.GetString()))] = {*major, *minor};
    }
  }
  const Value& directories = member(config, "PluginDirectory");
  if (!directories.IsArray()) {
    return;
  }
  for (const Value& directory : directories.GetArray()) {
    if (!directory.IsString()) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Engine plug-in folder that is not a text; ignored\n");
      continue;
    }
    const QString reported = QString::fromStdString(directory.GetString());
    const QString own = ownPluginFolder(reported);
    if (own.isEmpty()) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Engine plug-in folder %s is not one of this agent's; ignored\n",
               reported.toLocal8Bit().constData());
      continue;
    }
    std::lock_guard<std::mutex> lock(windowMutex);
    pluginDirectories.append(own);
    std::printf("%s\n", own.toLocal8Bit().constData());
    std::fflush(stdout);
  }
}

void PluginWindow::buildUi(const QStringList& pictureFolders_) {
  pictureFolders = pictureFolders_;

  updateButton = new QPushButton("Update info", table);
  updateButton->setGeometry(30, 20, 150, 30);
  connect(updateButton, &QPushButton::released, this, &PluginWindow::refreshRemote);
  updateButton->show();

  engineButton = new QPushButton("Stop Engine", table);
  engineButton->setGeometry(170, 20, 150, 30);
  connect(engineButton, &QPushButton::released, this, &PluginWindow::toggleEngine);
  engineButton->hide();

  siteStatusLabel = new QLabel(table);
  siteStatusLabel->setTextFormat(Qt::PlainText);
  siteStatusLabel->setAlignment(Qt::AlignCenter);
  showSiteStatus("COULD NOT CONNECT TO WEBSITE", rowStyle::kRedStatus);
  siteStatusLabel->show();

  pluginsHeader = headerLabel("Plugins", table);
  iconsHeader = headerLabel("Icons", table);
  nameHeader = headerLabel("Name", table);
  descriptionHeader = headerLabel("Description", table);
  stabilityHeader = headerLabel("Stability", table);
  installedHeader = headerLabel("Installed", table);
  engineRunning = true;

  fetchCatalogue();
}

bool PluginWindow::fetchCatalogue() {
  std::ostringstream body;
  if (!httpGet(catalogueHost(), kCataloguePath, body, kCatalogueBodyCap, nullptr, windowFetchDeadline())) {
    return false;
  }
  Document document;
  if (!parseCatalogueText(body.str(), document)) {
    return false;
  }
  showSiteStatus("CONNECTED", rowStyle::kGreenStatus);
  {
    std::lock_guard<std::mutex> lock(windowMutex);
    readCatalogue(document, catalogue);
  }
  buildTable();
  return true;
}

void PluginWindow::buildTable() {
  std::lock_guard<std::mutex> lock(windowMutex);
  for (const auto& [name, version] : installedPlugins) {
    if (catalogue.find(name) == catalogue.end()) {
      catalogue[name] = PluginRecord(name, QString(), QString(), "local unknown plugin", QString(), -1, version.first,
                                     version.second, false);
    }
    catalogue[name].installed = true;
  }

  placeHeader(pluginsHeader, rowStyle::kHeaderPlugins, 30, 80, 530, 30);
  placeHeader(iconsHeader, rowStyle::kHeaderBoxed, 560, 80, 220, 60);
  placeHeader(nameHeader, rowStyle::kHeaderBoxed, 30, 110, 120, 30);
  placeHeader(descriptionHeader, rowStyle::kHeaderOpen, 150, 110, 200, 30);
  placeHeader(stabilityHeader, rowStyle::kHeaderBoxed, 350, 110, 90, 30);
  placeHeader(installedHeader, rowStyle::kHeaderOpen, 440, 110, 120, 30);

  int top = kFirstRowTop;
  std::size_t shown = 0;
  for (auto& [name, record] : catalogue) {
    if (shown++ == kMaxRows) {
      writeLog(kLogWarning, LOG_FILE, __LINE__,
               "Plug-in manager: %zu plug-ins from %s on left out (at most %zu rows)\n", catalogue.size() - kMaxRows,
               name.toLocal8Bit().constData(), kMaxRows);
      break;
    }
    const auto installed = installedPlugins.find(name);
    if (installed != installedPlugins.end()) {
      record.installed = true;
      const auto [major, minor] = installed->second;
      if (major < record.Major || (major == record.Major && record.Minor > minor)) {
        record.outdated = true;
      }
    } else {
      record.installed = false;
    }
    const auto row = rows.find(name);
    if (row != rows.end()) {
      row->second->refresh(record, top, pluginDirectories);
      top += row->second->rowHeight();
    } else {
      auto made = std::make_unique<RowDisplay>(record, this, top, pluginDirectories);
      top += made->rowHeight();
      rows.emplace(name, std::move(made));
    }
  }
  fitToScreen(top + kBottomMargin);
}

void PluginWindow::fitToScreen(int contentHeight) {
  table->setFixedHeight(contentHeight);
  const QScreen* shownOn = screen();
  const int tallest = shownOn != nullptr ? shownOn->availableGeometry().height() - kScreenMargin : contentHeight;
  const bool scrolls = contentHeight > tallest;
  setFixedHeight(scrolls ? tallest : contentHeight);
  resize(kWindowWidth + (scrolls ? scrollArea->verticalScrollBar()->sizeHint().width() : 0), height());
}

void PluginWindow::refreshRemote() {
  showSiteStatus("TRYING TO CONNECT...", rowStyle::kOrangeStatus);
  siteStatusLabel->repaint();  // the fetch holds the window thread: show the state before it
  fetchCatalogue();
}

void PluginWindow::showSiteStatus(const QString& text, const char* style) {
  siteStatusLabel->setStyleSheet(style);
  siteStatusLabel->ensurePolished();
  const int width =
      std::max(kSiteStatusMinWidth, siteStatusLabel->fontMetrics().horizontalAdvance(text) + 2 * kSiteStatusPadding);
  siteStatusLabel->setGeometry(kSiteStatusRight - width, kSiteStatusTop, width, kSiteStatusHeight);
  siteStatusLabel->setText(text);
}

void PluginWindow::toggleEngine() {
  if (!engineRunning) {
    emit startEngine();
    engineRunning = true;
    engineButton->setText("Stop Engine");
  } else {
    emit stopEngine();
    engineRunning = false;
    engineButton->setText("Start Engine");
  }
}

void PluginWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(240, 240, 240));
}

void PluginWindow::startDownload(std::unique_ptr<downloadWorker> worker) { downloads.start(std::move(worker)); }

RowDisplay* PluginWindow::row(const QString& name) const {
  const auto found = rows.find(name);
  return found == rows.end() ? nullptr : found->second.get();
}

QString ownPluginFolder(const QString& reported) {
  if (!QDir::isAbsolutePath(reported)) {
    return {};
  }
  const QString written = QDir::cleanPath(reported);
  for (const std::string& own : Config::instance().pluginFolders()) {
    const QString ownText = QString::fromStdString(own);
    if (written != QDir::cleanPath(ownText) && written != QFileInfo(ownText).canonicalFilePath()) {
      continue;
    }
    if (QFileInfo(ownText).isDir()) {
      return ownText;
    }
  }
  return {};
}

QStringList defaultPictureFolders() {
  QStringList folders;
  std::string pictures = Config::instance().picturesFolder();
  if (pictures.empty()) {
    const std::string appData = platform::userAppDataDir();
    if (!appData.empty()) {
      pictures = appData + "/Brixel Technologies/lumora/pictures";
    }
  }
  if (!pictures.empty()) {
    folders << QString::fromStdString(pictures) + "/";
  }
  if (QFileInfo(QCoreApplication::applicationFilePath()).fileName() == kAgentProgramName) {
    folders << QCoreApplication::applicationDirPath() + "/pictures/";
  }
  return folders;
}

}  // namespace lmr
