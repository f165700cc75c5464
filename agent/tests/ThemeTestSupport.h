#pragma once

#include <QApplication>
#include <QColor>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPalette>
#include <QString>
#include <QThread>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <string>

#include "agent/src/Theme.h"
#include "testing/qt_test_main/process_events_until.h"

namespace theme_test {

using testing_support::processEventsUntil;

// Every brush of every role in every group is the same.
inline bool samePalette(const QPalette& a, const QPalette& b) {
  for (int group = 0; group < QPalette::NColorGroups; ++group) {
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
      const auto g = static_cast<QPalette::ColorGroup>(group);
      const auto r = static_cast<QPalette::ColorRole>(role);
      if (a.brush(g, r) != b.brush(g, r)) {
        return false;
      }
    }
  }
  return true;
}

// Replaces the file's contents through a rename, as editors and settings daemons do.
inline void replaceFile(const QString& path, const QByteArray& contents) {
  const QString temporary = path + QStringLiteral(".new");
  QFile file(temporary);
  if (file.open(QIODevice::WriteOnly)) {
    file.write(contents);
    file.close();
    QFile::remove(path);
    QFile::rename(temporary, path);
  }
}

// Rewrites the file in place.
inline void rewriteFile(const QString& path, const QByteArray& contents) {
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    file.write(contents);
  }
}

inline QString darkSheetResource() {
  QFile file(QString::fromLatin1(QBXTheme::kDarkStyleSheetResource));
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// How far the lightness of the area's strongest pixel stands from that of its background (the
// lightness most of its pixels have): the contrast of a text or picture drawn there, whatever its
// anti-aliasing.
inline int inkContrast(const QImage& image, const QRect& area) {
  const QRect inside = area.intersected(image.rect());
  std::array<int, 256> count{};
  for (int y = inside.top(); y <= inside.bottom(); ++y) {
    for (int x = inside.left(); x <= inside.right(); ++x) {
      ++count[static_cast<std::size_t>(image.pixelColor(x, y).lightness())];
    }
  }
  const int background = static_cast<int>(std::max_element(count.begin(), count.end()) - count.begin());
  int strongest = 0;
  for (int lightness = 0; lightness < 256; ++lightness) {
    if (count[static_cast<std::size_t>(lightness)] > 0) {
      strongest = std::max(strongest, std::abs(lightness - background));
    }
  }
  return strongest;
}

// Where screenshots go: the build tree.
inline QString screenshotPath(const QString& name) {
  QDir().mkpath(QStringLiteral(LUMORA_TEST_OUTPUT_DIR));
  return QStringLiteral(LUMORA_TEST_OUTPUT_DIR) + QLatin1Char('/') + name;
}

// Ends any theme left by a test and restores the application's look.
class ThemeReset {
 public:
  ThemeReset() : palette_(QApplication::palette()) {}
  ~ThemeReset() {
    if (QBXTheme* theme = QBXTheme::instance(false)) {
      theme->slotApplicationAboutToQuit();
    }
    QApplication::setPalette(palette_);
    qApp->setStyleSheet(QString());
  }
  ThemeReset(const ThemeReset&) = delete;
  ThemeReset& operator=(const ThemeReset&) = delete;

 private:
  QPalette palette_;
};

}  // namespace theme_test
