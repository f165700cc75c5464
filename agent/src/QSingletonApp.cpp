#include "agent/src/QSingletonApp.h"

#include <QFile>
#include <QTimer>
#include <QtEndian>

#include <cstdint>
#include <utility>

namespace {

constexpr qint64 kQuotaWindowMs = 1000;

}  // namespace

QSingletonApp::QSingletonApp(QString path) : path_(std::move(path)), server_(this) {
  connect(&server_, &QLocalServer::newConnection, this, &QSingletonApp::onNewConnection);
  clock_.start();
}

QSingletonApp::~QSingletonApp() {
  // Callbacks would reach objects already gone.
  callback_ = nullptr;
  server_.close();
}

bool QSingletonApp::listen(platform::UniqueFd lock) {
  if (!lock.valid()) {
    lock = lmr::SingleInstance::lock(path_.toStdString(), lmr::SingleInstance::kLockTimeout);
  }
  if (lock.valid()) {
    QLocalServer::removeServer(path_);
  }
  return server_.listen(path_);
}

void QSingletonApp::stopListening() {
  if (!server_.isListening()) {
    return;
  }
  const platform::UniqueFd lock = lmr::SingleInstance::lock(path_.toStdString(), lmr::SingleInstance::kLockTimeout);
  server_.close();
  // Agents that connected meanwhile see their connection end unanswered and check again.
  for (QLocalSocket* socket : server_.findChildren<QLocalSocket*>()) {
    socket->abort();
    socket->deleteLater();
  }
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
  if (available != kMessageSize) {
    socket->abort();
    socket->deleteLater();
    return;
  }
  const QByteArray message = socket->read(kMessageSize);
  std::optional<lmr::InstanceAnswer> answer = lmr::InstanceAnswer::NotUnderstood;
  if (!takeMessageQuota()) {
    answer = lmr::InstanceAnswer::TooManyRequests;
  } else if (callback_) {
    answer = callback_(message);
  }
  if (!answer) {
    stopListening();
    return;
  }
  socket->write(answerBytes(*answer));
  // Sent before the socket goes; disconnected() then frees it.
  socket->disconnectFromServer();
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

QByteArray answerBytes(lmr::InstanceAnswer answer) {
  QByteArray bytes(4, '\0');
  qToLittleEndian<int32_t>(static_cast<int32_t>(answer), bytes.data());
  return bytes;
}
