#include "agent/src/QSingletonApp.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <QtEndian>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

namespace {

constexpr const char* kLockSuffix = ".lock";
constexpr std::chrono::milliseconds kLockRetry{10};
constexpr qint64 kQuotaWindowMs = 1000;

}  // namespace

QString QSingletonApp::serverPath() {
  const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtimeDir.isEmpty()) {
    return QDir(runtimeDir).filePath(QString::fromLatin1(kName));
  }
  return QDir(QDir::tempPath()).filePath(QString::fromLatin1(kName) + QLatin1Char('-') + QString::number(getuid()));
}

QSingletonApp::QSingletonApp(QString path) : path_(std::move(path)), socket_(this), server_(this) {
  connect(&server_, &QLocalServer::newConnection, this, &QSingletonApp::onNewConnection);
  clock_.start();
}

QSingletonApp::~QSingletonApp() {
  // Callbacks would reach objects already gone.
  callback_ = nullptr;
  server_.close();
}

bool QSingletonApp::lock() {
  if (lock_.valid()) return true;
  platform::UniqueFd file(
      ::open(QFile::encodeName(path_ + QLatin1String(kLockSuffix)).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!file.valid()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockTimeoutMs);
  while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLockRetry);
  }
  lock_ = std::move(file);
  return true;
}

bool QSingletonApp::connectToRunning() {
  lock();
  socket_.connectToServer(path_, QIODevice::ReadWrite);
  const bool connected = socket_.waitForConnected(kConnectTimeoutMs);
  if (connected) lock_.reset();
  return connected;
}

bool QSingletonApp::send(const QByteArray& message) {
  if (socket_.write(message) != message.size()) {
    return false;
  }
  return socket_.waitForBytesWritten(kWriteTimeoutMs);
}

bool QSingletonApp::listen() {
  socket_.abort();
  if (lock()) {
    QLocalServer::removeServer(path_);
  }
  const bool listening = server_.listen(path_);
  lock_.reset();
  return listening;
}

void QSingletonApp::stopListening() {
  const bool locked = lock();
  server_.close();
  if (locked) lock_.reset();
}

void QSingletonApp::onNewConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    // The server keeps every accepted socket as its child until it dies: free each one when its
    // peer goes, or when it is dropped here.
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (connections_ >= kMaxConnections) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    ++connections_;
    connect(socket, &QObject::destroyed, this, [this] { --connections_; });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    // A peer that says nothing holds a descriptor for nothing.
    QTimer::singleShot(kMessageTimeoutMs, socket, [socket] {
      socket->abort();
      socket->deleteLater();
    });
  }
}

void QSingletonApp::onReadyRead(QLocalSocket* socket) {
  const qint64 available = socket->bytesAvailable();
  if (available < kMessageSize) {
    return;
  }
  // One message per connection: anything beyond it is not a second agent speaking.
  const QByteArray message = available == kMessageSize ? socket->read(kMessageSize) : QByteArray();
  socket->abort();
  socket->deleteLater();
  if (!message.isEmpty() && callback_ && takeMessageQuota()) {
    callback_(message);
  }
}

bool QSingletonApp::takeMessageQuota() {
  const qint64 now = clock_.elapsed();
  while (!recentMessages_.empty() && now - recentMessages_.front() >= kQuotaWindowMs) {
    recentMessages_.pop_front();
  }
  if (recentMessages_.size() >= static_cast<size_t>(kMaxMessagesPerSecond)) {
    return false;
  }
  recentMessages_.push_back(now);
  return true;
}

QByteArray showWebAppMessage() {
  QByteArray message(4, '\0');
  qToLittleEndian<int32_t>(0, message.data());
  return message;
}

bool isShowWebAppMessage(const QByteArray& message) {
  return message.size() >= 4 && qFromLittleEndian<int32_t>(message.constData()) == 0;
}
