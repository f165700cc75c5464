#include <QApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <cstdlib>

#include "qt_suppressions.h"
#include "testing/qt_test_main/qt_test_main.h"

// Qt, fontconfig, GLib, libxcb and libdbus are not built for the sanitizers; what they keep or
// hand over between threads is not ours to report. Built in, so the test listing run that CTest
// makes before each test is covered as well.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return LUMORA_QT_LSAN_SUPPRESSIONS;
}
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
  return LUMORA_QT_TSAN_SUPPRESSIONS;
}

namespace {
// The offscreen platform of Qt 5.15 never frees its screens at exit; a plain global holding the
// pointers keeps LeakSanitizer from reporting that leak of Qt's as ours.
constexpr int kKeptScreens = 8;
QScreen* keptScreens[kKeptScreens] = {};
}  // namespace

namespace lumora_testing {

int runQtTests(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Sizes in the tests are given at 96 dpi.
  setenv("QT_FONT_DPI", "96", 0);
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const auto screens = QGuiApplication::screens();
  for (int i = 0; i < screens.size() && i < kKeptScreens; ++i) {
    keptScreens[i] = screens[i];
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace lumora_testing
