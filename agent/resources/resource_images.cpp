// Draws the agent's splash picture and tray icon from code; no fonts are involved, so the
// pictures come out alike on every machine up to the rounding of Qt's raster engine.
#include "agent/resources/resource_images.h"

#include <QColor>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdlib>
#include <map>

namespace lmr::resources {

namespace {

constexpr int kSplashWidth = 600;
constexpr int kSplashHeight = 250;
// The splash paints its status and version lines over this band: keep it plain and dark.
constexpr int kTextBandHeight = 46;
constexpr int kIconSize = 256;
const QColor kAccent(42, 130, 218);
const QColor kAccentLight(64, 196, 224);

struct Glyph {
  qreal width;  // in cap heights
  QPainterPath path;
};

// A geometric stroke alphabet, unit cap height; drawn with a pen, so no font is involved
// and the pictures come out alike on every machine.
const std::map<QChar, Glyph>& glyphs() {
  static const std::map<QChar, Glyph> table = [] {
    std::map<QChar, Glyph> g;
    QPainterPath p;
    auto take = [&p]() {
      QPainterPath out = p;
      p = QPainterPath();
      return out;
    };
    p.moveTo(0, 0);
    p.lineTo(0, 1);
    p.lineTo(0.62, 1);
    g['L'] = {0.62, take()};
    p.moveTo(0, 0);
    p.lineTo(0, 0.625);
    p.arcTo(QRectF(0, 0.25, 0.75, 0.75), 180, 180);
    p.lineTo(0.75, 0);
    g['U'] = {0.75, take()};
    p.moveTo(0, 1);
    p.lineTo(0, 0);
    p.lineTo(0.45, 0.66);
    p.lineTo(0.9, 0);
    p.lineTo(0.9, 1);
    g['M'] = {0.9, take()};
    p.addEllipse(QRectF(0, 0, 1, 1));
    g['O'] = {1.0, take()};
    p.moveTo(0, 1);
    p.lineTo(0, 0);
    p.lineTo(0.4, 0);
    p.arcTo(QRectF(0.125, 0, 0.55, 0.55), 90, -180);
    p.lineTo(0, 0.55);
    p.moveTo(0.36, 0.55);
    p.lineTo(0.68, 1);
    g['R'] = {0.68, take()};
    p.moveTo(0, 1);
    p.lineTo(0.4, 0);
    p.lineTo(0.8, 1);
    p.moveTo(0.15, 0.66);
    p.lineTo(0.65, 0.66);
    g['A'] = {0.8, take()};
    p.moveTo(0, 0);
    p.lineTo(0, 1);
    p.lineTo(0.25, 1);
    p.arcTo(QRectF(-0.25, 0, 1.0, 1.0), 270, 180);
    p.closeSubpath();
    g['D'] = {0.75, take()};
    p.arcMoveTo(QRectF(0, 0, 1, 1), 45);
    p.arcTo(QRectF(0, 0, 1, 1), 45, 315);
    p.lineTo(0.55, 0.5);
    g['G'] = {1.0, take()};
    p.moveTo(0, 0);
    p.lineTo(0, 1);
    g['I'] = {0.0, take()};
    p.moveTo(0, 1);
    p.lineTo(0, 0);
    p.lineTo(0.75, 1);
    p.lineTo(0.75, 0);
    g['N'] = {0.75, take()};
    p.moveTo(0.6, 0);
    p.lineTo(0, 0);
    p.lineTo(0, 1);
    p.lineTo(0.6, 1);
    p.moveTo(0, 0.5);
    p.lineTo(0.5, 0.5);
    g['E'] = {0.6, take()};
    p.moveTo(0, 0);
    p.lineTo(0.7, 0);
    p.moveTo(0.35, 0);
    p.lineTo(0.35, 1);
    g['T'] = {0.7, take()};
    p.moveTo(0, 0);
    p.lineTo(0.25, 1);
    p.lineTo(0.55, 0.3);
    p.lineTo(0.85, 1);
    p.lineTo(1.1, 0);
    g['W'] = {1.1, take()};
    p.moveTo(0, 0);
    p.lineTo(0, 1);
    p.moveTo(0.65, 0);
    p.lineTo(0.04, 0.6);
    p.moveTo(0.24, 0.41);
    p.lineTo(0.66, 1);
    g['K'] = {0.66, take()};
    return g;
  }();
  return table;
}

// Draws text with its cap line at top and its left stroke edge at left.
void drawStrokeText(QPainter& painter, const QString& text, QPointF topLeft, qreal capHeight, qreal stroke,
                    qreal tracking, const QBrush& brush) {
  QPen pen(brush, stroke, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
  pen.setMiterLimit(3);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  qreal x = topLeft.x() + stroke / 2;
  for (const QChar c : text) {
    const auto found = glyphs().find(c);
    if (found == glyphs().end()) {
      x += capHeight * 0.5 + tracking;
      continue;
    }
    QTransform transform;
    transform.translate(x, topLeft.y());
    transform.scale(capHeight, capHeight);
    painter.drawPath(transform.map(found->second.path));
    x += found->second.width * capHeight + stroke + tracking;
  }
}

// Level bars of a signal: the product is about audio.
void drawLevelBars(QPainter& painter, const QRectF& area) {
  constexpr int kBars = 23;
  const qreal pitch = area.width() / kBars;
  const qreal barWidth = pitch * 0.5;
  for (int i = 0; i < kBars; ++i) {
    const qreal t = static_cast<qreal>(i) / (kBars - 1);
    const qreal envelope = std::sin(t * M_PI);
    const qreal level = 0.18 + 0.82 * envelope * (0.55 + 0.45 * std::fabs(std::sin(i * 1.7) * std::cos(i * 0.6)));
    const qreal height = area.height() * level;
    const QRectF bar(area.left() + i * pitch + (pitch - barWidth) / 2, area.center().y() - height / 2, barWidth,
                     height);
    QLinearGradient fill(bar.topLeft(), bar.bottomLeft());
    QColor top = kAccentLight;
    QColor bottom = kAccent;
    top.setAlpha(static_cast<int>(70 + 120 * envelope));
    bottom.setAlpha(static_cast<int>(40 + 90 * envelope));
    fill.setColorAt(0, top);
    fill.setColorAt(0.5, bottom);
    fill.setColorAt(1, top);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
  }
}

}  // namespace

QImage drawSplash() {
  QImage image(kSplashWidth, kSplashHeight, QImage::Format_ARGB32_Premultiplied);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);

  QLinearGradient background(0, 0, kSplashWidth, kSplashHeight);
  background.setColorAt(0, QColor(16, 30, 46));
  background.setColorAt(1, QColor(8, 16, 26));
  painter.fillRect(image.rect(), background);

  // A soft glow behind the bars.
  QRadialGradient glow(QPointF(470, 96), 190);
  glow.setColorAt(0, QColor(42, 130, 218, 60));
  glow.setColorAt(1, QColor(42, 130, 218, 0));
  painter.fillRect(QRectF(0, 0, kSplashWidth, kSplashHeight - kTextBandHeight), glow);

  drawLevelBars(painter, QRectF(382, 40, 196, 112));

  const qreal capHeight = 46;
  const qreal stroke = 8;
  drawStrokeText(painter, QStringLiteral("LUMORA"), QPointF(40, 62), capHeight, stroke, 13, QColor(244, 247, 250));

  QLinearGradient rule(40, 0, 140, 0);
  rule.setColorAt(0, kAccent);
  rule.setColorAt(1, kAccentLight);
  painter.setPen(Qt::NoPen);
  painter.setBrush(rule);
  painter.drawRect(QRectF(40, 130, 100, 3));

  drawStrokeText(painter, QStringLiteral("AUDIO NETWORK AGENT"), QPointF(40, 146), 10, 1.6, 4.5, QColor(150, 172, 196));

  // The text band: one plain dark tone under a thin rule.
  const QRectF band(0, kSplashHeight - kTextBandHeight, kSplashWidth, kTextBandHeight);
  painter.fillRect(band, QColor(7, 13, 21));
  painter.fillRect(QRectF(0, band.top(), kSplashWidth, 1), QColor(42, 130, 218, 110));
  painter.end();
  return image.convertToFormat(QImage::Format_RGB32);
}

QImage drawIcon() {
  QImage image(kIconSize, kIconSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = kIconSize;

  QLinearGradient tile(0, 0, s, s);
  tile.setColorAt(0, QColor(52, 150, 232));
  tile.setColorAt(1, QColor(18, 64, 128));
  painter.setPen(Qt::NoPen);
  painter.setBrush(tile);
  painter.drawRoundedRect(QRectF(4, 4, s - 8, s - 8), s * 0.2, s * 0.2);

  // An "L" with two waves leaving its corner: the product's initial sending sound.
  const qreal stroke = s * 0.14;
  QPen pen(QColor(255, 255, 255), stroke, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  const QPointF corner(s * 0.26, s * 0.76);
  QPainterPath letter;
  letter.moveTo(corner.x(), s * 0.17);
  letter.lineTo(corner);
  letter.lineTo(s * 0.55, corner.y());
  painter.drawPath(letter);

  pen.setCapStyle(Qt::RoundCap);
  pen.setWidthF(s * 0.09);
  painter.setPen(pen);
  for (const qreal radius : {s * 0.38, s * 0.58}) {
    const QRectF circle(corner.x() - radius, corner.y() - radius, 2 * radius, 2 * radius);
    painter.drawArc(circle, 16 * 24, 16 * 44);
  }
  painter.end();
  return image.convertToFormat(QImage::Format_ARGB32);
}

bool matchesWithinRounding(const QImage& drawn, const QImage& stored) {
  if (stored.isNull() || stored.size() != drawn.size()) return false;
  const QImage a = drawn.convertToFormat(QImage::Format_ARGB32);
  const QImage b = stored.convertToFormat(QImage::Format_ARGB32);
  const auto close = [](int x, int y) { return std::abs(x - y) <= kChannelTolerance; };
  for (int y = 0; y < a.height(); ++y) {
    const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
    const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = rowA[x];
      const QRgb q = rowB[x];
      if (!close(qRed(p), qRed(q)) || !close(qGreen(p), qGreen(q)) || !close(qBlue(p), qBlue(q)) ||
          !close(qAlpha(p), qAlpha(q))) {
        return false;
      }
    }
  }
  return true;
}

QImage drawArrow(qreal degrees, const QColor& colour) {
  QImage image(kArrowSize, kArrowSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal centre = kArrowSize / 2.0;
  painter.translate(centre, centre);
  painter.rotate(degrees);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  const QPointF triangle[] = {{-4.5, -2.25}, {4.5, -2.25}, {0, 2.75}};
  painter.drawPolygon(triangle, 3);
  painter.end();
  return image.convertToFormat(QImage::Format_ARGB32);
}

}  // namespace lmr::resources
