// Theme tests need one QApplication for the whole run.
#include <QApplication>
#include <QScreen>

#include <gtest/gtest.h>

namespace {
// The offscreen platform of Qt 5.15 never frees its screen at exit; a plain global holding the
// pointers keeps LeakSanitizer from reporting that leak of Qt's as ours.
constexpr int kKeptScreens = 8;
QScreen* keptScreens[kKeptScreens] = {};
}  // namespace

// Qt, GLib, libxcb and libdbus are not built for ThreadSanitizer: their own locks and atomics
// are invisible to it, so their cross-thread event and message hand-overs look like races.
// Reports whose stacks run only through our code are still made.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libQt5Core.so.5\n"
         "race:libQt5Gui.so.5\n"
         "race:libQt5DBus.so.5\n"
         "race:libdbus-1.so.3\n"
         "race:libglib-2.0.so.0\n"
         "race:libQt5XcbQpa.so.5\n"
         "race:libxcb.so.1\n"
         // libdbus orders its global and per-connection locks differently across connections.
         "deadlock:libdbus-1.so.3\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  const auto screens = QGuiApplication::screens();
  for (int i = 0; i < screens.size() && i < kKeptScreens; ++i) {
    keptScreens[i] = screens[i];
  }
  return RUN_ALL_TESTS();
}
