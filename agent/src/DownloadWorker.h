#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lmr {

struct PluginRecord;

inline constexpr const char* kFileOpenErrorText = "File Open\nError";
inline constexpr const char* kDownloadErrorText = "Download\nError";

// Downloads one plug-in file on a thread of its own. It holds copies of everything it reads,
// so the row and the window that started it may go while it runs; its two signals reach the
// row queued, and Qt drops them once the row is gone.
class downloadWorker : public QObject {
  Q_OBJECT

 public:
  // Copies the record's name, address and file name, the folders and the names of the installed
  // plug-ins; call on the GUI thread.
  downloadWorker(const PluginRecord& record, const QStringList& directories, const QStringList& installed = {});

  // On the download thread: the first folder that takes the file gets it.
  void run(const std::atomic<bool>& cancel);

 signals:
  void signalUpdateText(QString Q);
  void signalDownloadEnd();

 private:
  // Why the file must not be written: it would replace a file already there (in any plug-in
  // folder of this agent) or another installed plug-in. Empty when it may.
  [[nodiscard]] std::string refusal() const;

  std::string name_;
  std::string address_;
  std::string fileName_;
  std::vector<std::string> directories_;
  std::vector<std::string> ownFolders_;
  QStringList installed_;
};

// The download threads of one window. Destruction cancels the transfers still running and
// joins every thread, so none outlives its window (nor the application).
class DownloadThreads {
 public:
  DownloadThreads() = default;
  ~DownloadThreads();
  DownloadThreads(const DownloadThreads&) = delete;
  DownloadThreads& operator=(const DownloadThreads&) = delete;

  // Runs worker on a new thread, which deletes it when done.
  void start(std::unique_ptr<downloadWorker> worker);

 private:
  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

}  // namespace lmr
