#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <functional>

// Keeps one tray agent per user: the first one listens on a local socket, a later one connects,
// sends its message and ends.
class QSingletonApp : public QObject {
  Q_OBJECT

 public:
  using Callback = std::function<void(const QByteArray& message)>;

  static constexpr const char* kName = "lumora_agent_singleton";
  static constexpr int kConnectTimeoutMs = 500;
  static constexpr int kWriteTimeoutMs = 1000;

  // Full per-user path of the socket: $XDG_RUNTIME_DIR/<name>, else <temp folder>/<name>-<uid>.
  // The temp folder is shared between users, so a bare name would let one user's agent silence
  // another's.
  [[nodiscard]] static QString serverPath();

  explicit QSingletonApp(QString path = serverPath());
  ~QSingletonApp() override;
  QSingletonApp(const QSingletonApp&) = delete;
  QSingletonApp& operator=(const QSingletonApp&) = delete;

  // True when an agent already listens (waits at most kConnectTimeoutMs).
  [[nodiscard]] bool connectToRunning();
  // Sends a message to the running agent and waits until it has left this process; unflushed
  // bytes of a socket destroyed soon after are lost.
  bool send(const QByteArray& message);
  // Listens for later agents. Called only after connectToRunning failed: a socket file left by a
  // crashed agent is removed first, since nobody accepted the connection.
  bool listen();
  void setCallback(Callback callback) { callback_ = std::move(callback); }

  [[nodiscard]] const QString& path() const { return path_; }

 private:
  void onNewConnection();
  void onReadyRead(QLocalSocket* socket);

  QString path_;
  QLocalSocket socket_;
  QLocalServer server_;
  Callback callback_;
};

// The message a second agent sends: a 32-bit 0, little-endian, asking to show the web app.
[[nodiscard]] QByteArray showWebAppMessage();
// True for a message of at least 4 bytes whose first 4 read as a little-endian 0.
[[nodiscard]] bool isShowWebAppMessage(const QByteArray& message);
