#include "agent/src/QSingletonApp.h"

#include <QDir>
#include <QtEndian>

#include <unistd.h>

#include <cstdint>
#include <utility>

QString QSingletonApp::serverPath() {
  const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtimeDir.isEmpty()) {
    return QDir(runtimeDir).filePath(QString::fromLatin1(kName));
  }
  return QDir(QDir::tempPath()).filePath(QString::fromLatin1(kName) + QLatin1Char('-') + QString::number(getuid()));
}

QSingletonApp::QSingletonApp(QString path) : path_(std::move(path)), socket_(this), server_(this) {
  connect(&server_, &QLocalServer::newConnection, this, &QSingletonApp::onNewConnection);
}

QSingletonApp::~QSingletonApp() {
  // Callbacks would reach objects already gone.
  callback_ = nullptr;
  server_.close();
}

bool QSingletonApp::connectToRunning() {
  socket_.connectToServer(path_, QIODevice::ReadWrite);
  return socket_.waitForConnected(kConnectTimeoutMs);
}

bool QSingletonApp::send(const QByteArray& message) {
  if (socket_.write(message) != message.size()) {
    return false;
  }
  return socket_.waitForBytesWritten(kWriteTimeoutMs);
}

bool QSingletonApp::listen() {
  socket_.abort();
  QLocalServer::removeServer(path_);
  return server_.listen(path_);
}

void QSingletonApp::onNewConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    // The server keeps every accepted socket as its child until it dies: free each one when its
    // peer goes.
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  }
}

void QSingletonApp::onReadyRead(QLocalSocket* socket) {
  const QByteArray message = socket->readAll();
  if (callback_) {
    callback_(message);
  }
}

QByteArray showWebAppMessage() {
  QByteArray message(4, '\0');
  qToLittleEndian<int32_t>(0, message.data());
  return message;
}

bool isShowWebAppMessage(const QByteArray& message) {
  return message.size() >= 4 && qFromLittleEndian<int32_t>(message.constData()) == 0;
}
