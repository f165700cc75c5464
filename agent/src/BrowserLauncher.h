#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <sys/types.h>

#include <chrono>
#include <vector>

namespace lmr {

// Opens addresses in the desktop's browser through xdg-open and watches the opener for a while:
// one that cannot be started, or ends with a failure within the check window (a browser that
// refuses to run as root), is reported, so the user can be given the address to open by hand.
// Openers still running after the window are left to run (the browser may live in them) and are
// only reaped; none is killed when the launcher goes. On the offscreen platform (no desktop) it
// opens nothing and says so.
class BrowserLauncher : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kOpener = "xdg-open";
  static constexpr std::chrono::milliseconds kDefaultCheckWindow{10000};
  // Reaping pace inside the check window, and after it.
  static constexpr std::chrono::milliseconds kCheckPoll{100};
  static constexpr std::chrono::milliseconds kReapPoll{1000};

  explicit BrowserLauncher(std::chrono::milliseconds checkWindow = kDefaultCheckWindow);
  ~BrowserLauncher() override = default;
  BrowserLauncher(const BrowserLauncher&) = delete;
  BrowserLauncher& operator=(const BrowserLauncher&) = delete;

 public slots:
  // The slot QDesktopServices calls for the schemes it is registered for.
  void open(const QUrl& url);

 signals:
  // The address could not be opened; reason says why (for the log).
  void failed(QString url, QString reason);

 private:
  struct Opener {
    pid_t pid;
    QString url;
    QElapsedTimer started;
  };

  void poll();
  // False when the opener ended (reported when it failed within the window).
  bool stillRunning(Opener& opener);
  void schedule();

  std::chrono::milliseconds checkWindow_;
  std::vector<Opener> openers_;
  QTimer timer_;
};

}  // namespace lmr
