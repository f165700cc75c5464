// Draws the agent's splash picture, tray icon and the dark theme's arrows. The PNGs are
// committed; run this after a design change: `lumora_resource_images <folder>` writes them, `--check <folder>` compares
// them with what it draws, tolerating the rounding of another CPU.
#include <QCoreApplication>
#include <QImage>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <utility>
#include <vector>

#include "agent/resources/resource_images.h"

int main(int argc, char* argv[]) {
  // No fonts are drawn, so no GUI application (and no platform plug-in) is needed.
  QCoreApplication application(argc, argv);
  QStringList arguments = QCoreApplication::arguments().mid(1);
  const bool check = !arguments.isEmpty() && arguments.first() == QLatin1String("--check");
  if (check) {
    arguments.removeFirst();
  }
  if (arguments.size() != 1) {
    std::fprintf(stderr, "usage: lumora_resource_images [--check] <folder>\n");
    return 2;
  }
  const QString folder = arguments.first();
  std::vector<std::pair<QString, QImage>> images = {{QStringLiteral("splash_screen.png"), lmr::resources::drawSplash()},
                                                    {QStringLiteral("app_default.png"), lmr::resources::drawIcon()}};
  const std::pair<const char*, qreal> arrows[] = {{"down", 0}, {"left", 90}, {"up", 180}, {"right", 270}};
  for (const auto& [direction, degrees] : arrows) {
    const QString name = QStringLiteral("theme_arrow_") + QLatin1String(direction);
    images.emplace_back(name + QStringLiteral(".png"),
                        lmr::resources::drawArrow(degrees, lmr::resources::kArrowActive));
    images.emplace_back(name + QStringLiteral("_disabled.png"),
                        lmr::resources::drawArrow(degrees, lmr::resources::kArrowResting));
  }
  int status = 0;
  for (const auto& [name, image] : images) {
    const QString path = folder + QLatin1Char('/') + name;
    if (check) {
      if (!lmr::resources::matchesWithinRounding(image, QImage(path))) {
        std::fprintf(stderr, "%s differs from what the generator draws\n", qPrintable(path));
        status = 1;
      }
    } else if (!image.save(path, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      status = 1;
    }
  }
  return status;
}
