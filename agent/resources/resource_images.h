#pragma once

#include <QColor>
#include <QImage>
#include <QString>

namespace lmr::resources {

// The splash picture and the tray icon, drawn from code. The PNGs in agent/resources are their
// committed output (`lumora_resource_images`).
[[nodiscard]] QImage drawSplash();
[[nodiscard]] QImage drawIcon();

// The dark sheet's arrows: the resting look ("_disabled") and the pointed-at look.
constexpr int kArrowSize = 12;
const QColor kArrowResting(157, 169, 181);
const QColor kArrowActive(224, 225, 227);
// A filled triangle pointing down, turned by degrees (clockwise) about the image's centre.
[[nodiscard]] QImage drawArrow(qreal degrees, const QColor& colour);

// Qt's raster engine rounds gradients and anti-aliased edges differently on different CPUs (its
// SIMD paths): one or two levels in a channel. A change of the design moves more than that.
constexpr int kChannelTolerance = 2;

// True when both pictures have the same size and every channel of every pixel (alpha included)
// differs by at most kChannelTolerance.
[[nodiscard]] bool matchesWithinRounding(const QImage& drawn, const QImage& stored);

}  // namespace lmr::resources
