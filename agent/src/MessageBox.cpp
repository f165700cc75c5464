#include "agent/src/MessageBox.h"

#include "agent/src/Theme.h"
#include "platform/title_bar.h"

namespace lmr {
namespace {

constexpr const char* kDarkMessageBoxStyle =
    "QMessageBox { background-color: rgb(43, 43, 43); } QMessageBox QLabel { color: rgb(255, 255, 255); }";

}  // namespace

QMessageBox::StandardButton showThemedMessageBox(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::Icon icon, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, title, text, buttons, parent);
  if (QBXTheme::instance(true)->isDark()) {
    platform::setDarkTitleBar(&box, true);
    // Only the box and its texts: the buttons keep the theme's button look.
    box.setStyleSheet(QString::fromLatin1(kDarkMessageBoxStyle));
  }
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace lmr
