#pragma once

#include <QDialog>
#include <QPixmap>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

class QPainter;

// Frameless modal window showing a picture, a version line and one status message while a
// worker function runs on a thread of its own; it closes itself when the worker returns.
namespace QBXSplashWindow {

// What the worker is given.
class IWindow {
 public:
  // Posts a status message; any thread, any number of times.
  virtual void setMessage(const QString& text) = 0;
  // Calls the worker with this window and returns its result; worker thread only.
  virtual int runWorker() = 0;

 protected:
  ~IWindow() = default;
};

using Worker = std::function<int(IWindow*)>;

class WorkerThread;

class Instance : public QDialog, public IWindow {
  Q_OBJECT

 public:
  explicit Instance(QWidget* parent = nullptr);
  // Waits for a worker still running, so it never calls into a freed window.
  ~Instance() override;

  void setMessage(const QString& text) override;
  int runWorker() override;

  [[nodiscard]] QString message() const { return message_; }
  [[nodiscard]] bool workerRunning() const { return workerRunning_.load(); }

  // Escape and close requests are ignored while the worker runs.
  void reject() override;

 signals:
  void signalMessage(const QString& text);

 public slots:
  void slotMessage(const QString& text);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  friend int run(QWidget* parent, const QSize& size, QPixmap* pixmap, const QString& versionText, Worker worker);

  void slotWorkerFinished();

  QPixmap* pixmap_ = nullptr;  // the caller's; may be null
  QString message_;
  QString versionText_;
  Worker worker_;
  WorkerThread* thread_ = nullptr;  // owned by run()
  std::atomic<bool> workerRunning_{false};
};

class WorkerThread : public QThread {
  Q_OBJECT

 public:
  explicit WorkerThread(IWindow* window) : window_(window) {}

  [[nodiscard]] int result() const { return result_.load(); }

 signals:
  // Emitted at the end of run(), on the worker thread (QThread::finished follows after run()).
  void workerFinished();

 protected:
  void run() override;

 private:
  IWindow* window_;
  std::atomic<int> result_{0};
};

// Shows the window modally until the worker returns; returns the worker's value. The dialog is
// size times the display scale; pixmap stays the caller's. An empty worker returns 0 at once.
int run(QWidget* parent, const QSize& size, QPixmap* pixmap, const QString& versionText, Worker worker);

// The picture stretched over size and the version line right-aligned 38 scaled pixels above the
// bottom edge; shared with the About dialog.
void paintPictureAndVersion(QPainter& painter, const QSize& size, const QPixmap* pixmap, const QString& versionText);

}  // namespace QBXSplashWindow
