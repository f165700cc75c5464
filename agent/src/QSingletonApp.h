#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

#include "agent/src/SingleInstance.h"
#include "platform/file_descriptor.h"

// The running tray agent's side of the single-instance guard: it listens on the local socket
// where later agents of the same user check in (lmr::SingleInstance), hands each one's message
// to its callback and sends back the callback's answer.
class QSingletonApp : public QObject {
  Q_OBJECT

 public:
  // The answer for a message; nothing when this agent is quitting: the connection is then closed
  // unanswered, and the later agent checks again until this one's socket is gone.
  using Callback = std::function<std::optional<lmr::InstanceAnswer>(const QByteArray& message)>;

  // Every connection carries one message of this size, within this time.
  static constexpr int kMessageSize = lmr::SingleInstance::kMessageSize;
  static constexpr int kMessageTimeoutMs = 1000;
  // Connections beyond this many at a time are closed at once.
  static constexpr int kMaxConnections = 8;
  // Messages beyond this many within a second are answered TooManyRequests: each one may open a
  // browser.
  static constexpr int kMaxMessagesPerSecond = 3;

  explicit QSingletonApp(QString path);
  ~QSingletonApp() override;
  QSingletonApp(const QSingletonApp&) = delete;
  QSingletonApp& operator=(const QSingletonApp&) = delete;

  // Listens for later agents, then lets the instance lock go. lock is the one the check that found
  // no agent kept (taken here when invalid): a socket file left by a crashed agent is removed
  // first, since nobody accepted the connection; only the lock's holder may remove it.
  bool listen(platform::UniqueFd lock = {});
  // Stops answering at once: closes the socket (removing its file) under the lock, so a later
  // agent's file stays, and drops connections not answered yet.
  void stopListening();
  void setCallback(Callback callback) { callback_ = std::move(callback); }

  [[nodiscard]] const QString& path() const { return path_; }
  [[nodiscard]] bool listening() const { return server_.isListening(); }

 private:
  void onNewConnection();
  void onReadyRead(QLocalSocket* socket);
  // False when the second's quota of messages is used up.
  bool takeMessageQuota();

  QString path_;
  int connections_ = 0;  // before the server: its sockets count down as it deletes them
  QLocalServer server_;
  Callback callback_;
  QElapsedTimer clock_;
  std::deque<qint64> recentMessages_;  // clock_ times of the last second's messages
};

// The message a second agent sends: a 32-bit 0, little-endian, asking to show the web app.
[[nodiscard]] QByteArray showWebAppMessage();
// True for a message of at least 4 bytes whose first 4 read as a little-endian 0.
[[nodiscard]] bool isShowWebAppMessage(const QByteArray& message);
// An answer as sent: 4 bytes, little-endian.
[[nodiscard]] QByteArray answerBytes(lmr::InstanceAnswer answer);
