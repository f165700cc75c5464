#include "agent/resources/resource_images.h"

#include <QColor>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace {

using lmr::resources::drawIcon;
using lmr::resources::drawSplash;
using lmr::resources::kChannelTolerance;
using lmr::resources::matchesWithinRounding;

QImage committed(const char* name) { return QImage(QStringLiteral(LUMORA_RESOURCES_DIR "/") + name); }

// The pixel with each channel moved by delta, within 0..255.
QRgb shifted(QRgb pixel, int delta) {
  const auto move = [delta](int value) { return qBound(0, value + delta, 255); };
  return qRgba(move(qRed(pixel)), move(qGreen(pixel)), move(qBlue(pixel)), move(qAlpha(pixel)));
}

TEST(ResourceImages, TheCommittedPicturesAreWhatTheGeneratorDraws) {
  EXPECT_TRUE(matchesWithinRounding(drawSplash(), committed("splash_screen.png")));
  EXPECT_TRUE(matchesWithinRounding(drawIcon(), committed("app_default.png")));
}

// Another CPU's gradients: a few pixels a level or two off in one channel or in all.
TEST(ResourceImages, RoundingOfAnotherCpuStillMatches) {
  const QImage drawn = drawIcon();
  QImage other = drawn.copy();
  for (int i = 0; i < 10; ++i) {
    const QRgb pixel = other.pixel(100 + i, 40);
    other.setPixel(100 + i, 40, qRgba(qRed(pixel), qMin(qGreen(pixel) + 1, 255), qBlue(pixel), qAlpha(pixel)));
  }
  EXPECT_TRUE(matchesWithinRounding(drawn, other));
  for (int y = 0; y < other.height(); y += 7) {
    for (int x = 0; x < other.width(); x += 5) {
      other.setPixel(x, y, shifted(drawn.pixel(x, y), (x + y) % 2 == 0 ? kChannelTolerance : -kChannelTolerance));
    }
  }
  EXPECT_TRUE(matchesWithinRounding(drawn, other));
  EXPECT_TRUE(matchesWithinRounding(drawn, drawn));
}

TEST(ResourceImages, AChangedColourFails) {
  const QImage drawn = drawIcon();
  // The white letter and waves turned a light grey.
  QImage greyer = drawn.copy();
  for (int y = 0; y < greyer.height(); ++y) {
    for (int x = 0; x < greyer.width(); ++x) {
      if (greyer.pixel(x, y) == qRgba(255, 255, 255, 255)) greyer.setPixel(x, y, qRgba(240, 240, 240, 255));
    }
  }
  EXPECT_FALSE(matchesWithinRounding(drawn, greyer));
  // One pixel past the tolerance is enough.
  QImage onePixel = drawn.copy();
  onePixel.setPixel(128, 128, shifted(drawn.pixel(128, 128), -(kChannelTolerance + 1)));
  EXPECT_FALSE(matchesWithinRounding(drawn, onePixel));
  // The splash's dark text band in another tone.
  const QImage splash = drawSplash();
  QImage band = splash.copy();
  QPainter painter(&band);
  painter.fillRect(0, band.height() - 40, band.width(), 40, QColor(7, 13, 40));
  painter.end();
  EXPECT_FALSE(matchesWithinRounding(splash, band));
}

TEST(ResourceImages, AChangedShapeOrSizeFails) {
  const QImage drawn = drawIcon();
  // The letter moved one pixel to the right.
  QImage moved(drawn.size(), drawn.format());
  moved.fill(Qt::transparent);
  QPainter painter(&moved);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawImage(1, 0, drawn);
  painter.end();
  EXPECT_FALSE(matchesWithinRounding(drawn, moved));
  // A mark added in a corner.
  QImage marked = drawn.copy();
  QPainter marker(&marked);
  marker.fillRect(20, 20, 6, 6, Qt::white);
  marker.end();
  EXPECT_FALSE(matchesWithinRounding(drawn, marked));
  EXPECT_FALSE(matchesWithinRounding(drawn, drawn.scaled(128, 128)));
  EXPECT_FALSE(matchesWithinRounding(drawn, QImage()));
}

}  // namespace
