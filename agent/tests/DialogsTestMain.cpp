#include <QApplication>

#include <gtest/gtest.h>

// Leak checks (ASan builds) skip what Qt's offscreen platform and fontconfig keep until exit;
// built in, so the test listing run that CTest makes before each test is covered as well.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libqoffscreen.so\n"
         "leak:libfontconfig.so\n";
}

// Race checks (TSan builds) skip accesses inside Qt itself: Qt is not instrumented and its
// thread pool (image scaling for the tray icon) synchronises through futexes TSan cannot see.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libQt5Core.so.5\n"
         "race:libQt5Gui.so.5\n";
}

// The dialogs are widgets: one application object for the whole run.
int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
