#include "agent/src/MessageBox.h"

#include "agent/src/Theme.h"
#include "platform/title_bar.h"

namespace lmr {

QMessageBox::StandardButton showThemedMessageBox(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::Icon icon, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, title, text, buttons, parent);
  if (QBXTheme::instance(true)->isDark()) {
    platform::setDarkTitleBar(&box, true);
    box.setStyleSheet(QStringLiteral("background-color: rgb(43, 43, 43);color: rgb(255, 255, 255);"));
  }
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace lmr
