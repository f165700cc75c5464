#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <vector>

namespace dialogs_test {

// Answers every message box that opens while it lives with Ok, and remembers title and text,
// so a test can count the notices a dialog gave without anyone clicking.
class MessageBoxWatcher {
 public:
  struct Seen {
    QString title;
    QString text;
  };

  MessageBoxWatcher() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { answerOpenBoxes(); });
    timer_.start(10);
  }

  [[nodiscard]] const std::vector<Seen>& seen() const { return seen_; }

 private:
  void answerOpenBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box != nullptr && box->isVisible()) {
        seen_.push_back({box->windowTitle(), box->text()});
        box->done(QMessageBox::Ok);
      }
    }
  }

  QTimer timer_;
  std::vector<Seen> seen_;
};

}  // namespace dialogs_test
