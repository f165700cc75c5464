#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace lmr {

// A modal message box that follows the theme: dark title bar and dark colours when the theme
// is dark. Returns the button the user chose.
QMessageBox::StandardButton showThemedMessageBox(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::Icon icon, QMessageBox::StandardButtons buttons);

}  // namespace lmr
