#include "agent/src/DownloadWorker.h"

#include "agent/src/CatalogueHttp.h"
#include "agent/src/DownloadFile.h"
#include "agent/src/PluginCatalogue.h"

namespace lmr {

downloadWorker::downloadWorker(const PluginRecord& record, const QStringList& directories)
    : address_((record.URL + record.Windows).toStdString()), fileName_(record.Windows.toStdString()) {
  for (const QString& directory : directories) {
    directories_.push_back(directory.toStdString());
  }
}

void downloadWorker::run(const std::atomic<bool>& cancel) {
  // The catalogue reader let through only plain names and addresses with a host.
  const auto hostAndPath = splitAddress(address_);
  if (!hostAndPath || !isPlainFileName(fileName_)) {
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
