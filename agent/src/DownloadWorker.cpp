#include "agent/src/DownloadWorker.h"

#include <filesystem>

#include "agent/src/CatalogueHttp.h"
#include "agent/src/Config.h"
#include "agent/src/DownloadFile.h"
#include "agent/src/PluginCatalogue.h"
#include "log/console_log.h"
#include "platform/app_data.h"

namespace lmr {

downloadWorker::downloadWorker(const PluginRecord& record, const QStringList& directories, const QStringList& installed)
    : name_(record.Name.toStdString()),
      address_((record.URL + record.Windows).toStdString()),
      fileName_(record.Windows.toStdString()),
      ownFolders_(Config::instance().pluginFolders()),
      installed_(installed) {
  for (const QString& directory : directories) {
    directories_.push_back(directory.toStdString());
  }
}

std::string downloadWorker::refusal() const {
  const QString file = QString::fromStdString(fileName_);
  const QString suffix = QString::fromLatin1(platform::kSharedLibrarySuffix);
  const QString stem = file.endsWith(suffix) ? file.left(file.size() - suffix.size()) : file;
  if (stem != QString::fromStdString(name_) && installed_.contains(stem)) {
    return "the file belongs to the installed plug-in " + stem.toStdString();
  }
  std::vector<std::string> folders = directories_;
  folders.insert(folders.end(), ownFolders_.begin(), ownFolders_.end());
  for (const std::string& folder : folders) {
    std::error_code error;
    const std::string target = folder + "/" + fileName_;
    if (std::filesystem::exists(std::filesystem::symlink_status(target, error))) {
      return target + " exists already";
    }
  }
  return {};
}

void downloadWorker::run(const std::atomic<bool>& cancel) {
  // The catalogue reader let through only plain names and addresses with a host.
  const auto hostAndPath = splitAddress(address_);
  if (!hostAndPath || !isPlainFileName(fileName_)) {
    emit signalUpdateText(QString::fromLatin1(kDownloadErrorText));
    emit signalDownloadEnd();
    return;
  }
  const std::string refused = refusal();
  if (!refused.empty()) {
    writeLog(kLogError, LOG_FILE, __LINE__, "Download of %s refused: %s\n", name_.c_str(), refused.c_str());
    emit signalUpdateText(QString::fromLatin1(kDownloadErrorText));
    emit signalDownloadEnd();
    return;
  }
  bool opened = false;
  for (const std::string& directory : directories_) {
    const DownloadResult result =
        downloadToFile(hostAndPath->host, hostAndPath->path, directory + "/" + fileName_, kPluginBodyCap, &cancel);
    if (result == DownloadResult::CannotCreate) {
      continue;
    }
    opened = true;
    if (result == DownloadResult::TransferFailed) {
      emit signalUpdateText(QString::fromLatin1(kDownloadErrorText));
    }
    break;
  }
  if (!opened) {
    emit signalUpdateText(QString::fromLatin1(kFileOpenErrorText));
  }
  emit signalDownloadEnd();
}

DownloadThreads::~DownloadThreads() {
  cancel_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

void DownloadThreads::start(std::unique_ptr<downloadWorker> worker) {
  // No thread owns the worker's events from here on, so the download thread may delete it.
  worker->moveToThread(nullptr);
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.emplace_back([this, owned = std::move(worker)]() mutable {
    owned->run(cancel_);
    owned.reset();
  });
}

}  // namespace lmr
