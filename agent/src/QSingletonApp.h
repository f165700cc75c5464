#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>

#include "platform/detached_process.h"

// Keeps one tray agent per user: the first one listens on a local socket, a later one connects,
// sends its message and ends.
class QSingletonApp : public QObject {
  Q_OBJECT

 public:
  using Callback = std::function<void(const QByteArray& message)>;

  static constexpr const char* kName = "lumora_agent_singleton";
  static constexpr int kConnectTimeoutMs = 500;
  static constexpr int kWriteTimeoutMs = 1000;
  // Agents started together wait this long at most for each other's check-and-listen.
  static constexpr int kLockTimeoutMs = 3000;
  // Every connection carries one message of this size, within this time.
  static constexpr int kMessageSize = 4;
  static constexpr int kMessageTimeoutMs = 1000;
  // Connections beyond this many at a time are closed at once.
  static constexpr int kMaxConnections = 8;
  // Messages beyond this many within a second are dropped: each one opens a browser.
  static constexpr int kMaxMessagesPerSecond = 3;

  // Full per-user path of the socket: $XDG_RUNTIME_DIR/<name>, else <temp folder>/<name>-<uid>.
  // The temp folder is shared between users, so a bare name would let one user's agent silence
  // another's.
  [[nodiscard]] static QString serverPath();

  explicit QSingletonApp(QString path = serverPath());
  ~QSingletonApp() override;
  QSingletonApp(const QSingletonApp&) = delete;
  QSingletonApp& operator=(const QSingletonApp&) = delete;

  // True when an agent already listens (waits at most kConnectTimeoutMs). First takes the
  // instance lock (a file beside the socket); a false answer keeps it until listen, so that of
  // agents started together exactly one listens.
  [[nodiscard]] bool connectToRunning();
  // Sends a message to the running agent and waits until it has left this process; unflushed
  // bytes of a socket destroyed soon after are lost.
  bool send(const QByteArray& message);
  // Listens for later agents, then lets the instance lock go. Called only after connectToRunning
  // failed: a socket file left by a crashed agent is removed first, since nobody accepted the
  // connection; only the lock's holder may remove it.
  bool listen();
  // Closes the socket (removing its file) under the lock, so a later agent's file stays.
  void stopListening();
  void setCallback(Callback callback) { callback_ = std::move(callback); }

  [[nodiscard]] const QString& path() const { return path_; }

 private:
  bool lock();
  void onNewConnection();
  void onReadyRead(QLocalSocket* socket);
  // False when the second's quota of messages is used up.
  bool takeMessageQuota();

  QString path_;
  int connections_ = 0;  // before the server: its sockets count down as it deletes them
  QLocalSocket socket_;
  QLocalServer server_;
  Callback callback_;
  platform::UniqueFd lock_;  // open while the instance lock is held
  QElapsedTimer clock_;
  std::deque<qint64> recentMessages_;  // clock_ times of the last second's messages
};

// The message a second agent sends: a 32-bit 0, little-endian, asking to show the web app.
[[nodiscard]] QByteArray showWebAppMessage();
// True for a message of at least 4 bytes whose first 4 read as a little-endian 0.
[[nodiscard]] bool isShowWebAppMessage(const QByteArray& message);
