#pragma once

#include <QString>

class QLabel;

namespace lmr {

// Texts in the fixed-size cells of the plug-in manager. Each call expects the label's style sheet
// and geometry to be set already: its borders decide the room the text has.

// Shows the text whole: lines too wide for the label wrap at blanks; when a word is still wider
// than the label or the lines are taller, the label's font gets smaller until they fit.
void showWholeText(QLabel* label, const QString& text);

// Shows each line of the text cut at its end to the label's width; when a line is cut, the whole
// text becomes the label's tool tip.
void showElidedText(QLabel* label, const QString& text);

}  // namespace lmr
