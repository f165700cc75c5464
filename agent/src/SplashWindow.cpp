#include "agent/src/SplashWindow.h"

#include <QCloseEvent>
#include <QPainter>
#include <QPointer>

#include <memory>

#include "agent/src/Version.h"

namespace QBXSplashWindow {
namespace {

const QColor kTextColour(240, 240, 240);
constexpr int kBoldWeight = 75;
constexpr int kNormalWeight = 50;
constexpr int kMargin = 7;
constexpr int kMessageRise = 17;
constexpr int kVersionRise = 38;

int scaled(int value) { return static_cast<int>(static_cast<float>(value) * lmr::dpiScale); }

}  // namespace

Instance::Instance(QWidget* parent) : QDialog(parent) {}

Instance::~Instance() {
  if (thread_ != nullptr) thread_->wait();
}

void Instance::setMessage(const QString& text) { emit signalMessage(text); }

int Instance::runWorker() { return worker_(this); }

void Instance::reject() {
  if (workerRunning_.load()) return;
  QDialog::reject();
}

void Instance::closeEvent(QCloseEvent* event) {
  if (workerRunning_.load()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void Instance::slotMessage(const QString& text) {
  message_ = text;
  repaint();
}

void Instance::slotWorkerFinished() {
  workerRunning_ = false;
  close();
}

void Instance::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const int w = width();
  const int h = height();
  if (pixmap_ != nullptr) painter.drawPixmap(QRect(0, 0, w, h), *pixmap_);
  painter.setPen(kTextColour);
  QFont font = painter.font();
  font.setWeight(kBoldWeight);
  painter.setFont(font);
  painter.drawText(QRect(scaled(kMargin), h - scaled(kMessageRise), w, h), Qt::AlignLeft, message_);
  paintPictureAndVersion(painter, size(), nullptr, versionText_);
}

void paintPictureAndVersion(QPainter& painter, const QSize& size, const QPixmap* pixmap, const QString& versionText) {
  const int w = size.width();
  const int h = size.height();
  if (pixmap != nullptr) painter.drawPixmap(QRect(0, 0, w, h), *pixmap);
  painter.setPen(kTextColour);
  QFont font = painter.font();
  font.setWeight(kNormalWeight);
  painter.setFont(font);
  painter.drawText(QRect(scaled(kMargin), h - scaled(kVersionRise), w - scaled(2 * kMargin), h), Qt::AlignRight,
                   versionText);
}

void WorkerThread::run() {
  result_ = window_->runWorker();
  emit workerFinished();
}

int run(QWidget* parent, const QSize& size, QPixmap* pixmap, const QString& versionText, Worker worker) {
  if (!worker) return 0;
  // Parentless, the dialog is deleted later (below); with a parent, the parent owns it.
  QPointer<Instance> dialog = new Instance(parent);
  dialog->setWindowFlags(Qt::FramelessWindowHint);
  dialog->resize(static_cast<int>(static_cast<float>(size.width()) * lmr::dpiScale),
                 static_cast<int>(static_cast<float>(size.height()) * lmr::dpiScale));
  QObject::connect(dialog.data(), &Instance::signalMessage, dialog.data(), &Instance::slotMessage);
  dialog->pixmap_ = pixmap;
  dialog->versionText_ = versionText;
  dialog->worker_ = std::move(worker);

  // Owned here and destroyed only after wait(): the thread's own signal comes from inside run().
  auto thread = std::make_unique<WorkerThread>(dialog.data());
  dialog->thread_ = thread.get();
  QObject::connect(thread.get(), &WorkerThread::workerFinished, dialog.data(), &Instance::slotWorkerFinished);
  dialog->workerRunning_ = true;
  thread->start();
  dialog->exec();
  thread->wait();
  const int result = thread->result();
  if (dialog) {
    dialog->thread_ = nullptr;
    if (parent == nullptr) dialog->deleteLater();
  }
  return result;
}

}  // namespace QBXSplashWindow
