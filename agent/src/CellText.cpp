#include "agent/src/CellText.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStringList>

namespace lmr {
namespace {

// Room kept free on each side of a text, so that it does not touch the cell's edge.
constexpr int kTextInset = 2;
// Below this a text would no longer be readable; it is shown cut instead.
constexpr qreal kSmallestPointSize = 5.0;
constexpr qreal kPointSizeStep = 0.5;
constexpr int kUnboundedHeight = 1 << 20;

QSize textRoom(QLabel* label) {
  label->ensurePolished();  // the style sheet's borders narrow the contents
  const QRect contents = label->contentsRect();
  return {contents.width() - 2 * kTextInset - 2 * label->margin(), contents.height() - 2 * label->margin()};
}

// The font the label has from its parent, before any shrinking of ours.
QFont inheritedFont(const QLabel* label) {
  return label->parentWidget() != nullptr ? label->parentWidget()->font() : QFont();
}

QSize wrappedSize(const QFont& font, int width, const QString& text) {
  return QFontMetrics(font).boundingRect(QRect(0, 0, width, kUnboundedHeight), Qt::TextWordWrap, text).size();
}

}  // namespace

void showWholeText(QLabel* label, const QString& text) {
  const QSize room = textRoom(label);
  QFont font = inheritedFont(label);
  for (;;) {
    const QSize needed = wrappedSize(font, room.width(), text);
    if ((needed.width() <= room.width() && needed.height() <= room.height()) ||
        font.pointSizeF() - kPointSizeStep < kSmallestPointSize) {
      break;
    }
    font.setPointSizeF(font.pointSizeF() - kPointSizeStep);
  }
  label->setWordWrap(true);
  label->setFont(font);
  label->setText(text);
}

void showElidedText(QLabel* label, const QString& text) {
  const int width = textRoom(label).width();
  const QFontMetrics metrics(label->font());
  QStringList lines = text.split(QLatin1Char('\n'));
  bool cut = false;
  for (QString& line : lines) {
    const QString shown = metrics.elidedText(line, Qt::ElideRight, width);
    cut = cut || shown != line;
    line = shown;
  }
  label->setText(lines.join(QLatin1Char('\n')));
  label->setToolTip(cut ? text : QString());
}

}  // namespace lmr
