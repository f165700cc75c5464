// Widgets need an application object before any test runs; tests draw offscreen.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "agent/src/HttpClient.h"

#if defined(__SANITIZE_ADDRESS__)
// fontconfig keeps a small cache record for the life of the process and frees it nowhere.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

#if defined(__SANITIZE_THREAD__)
// Qt and libdbus are not built for ThreadSanitizer: their own locks and atomics are invisible to
// it, so their cross-thread hand-overs (QThread::wait, queued events) look like races, and
// libdbus orders its global and per-connection locks differently across connections.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
  return "race:libQt5Core.so.5\n"
         "race:libQt5Gui.so.5\n"
         "race:libQt5Widgets.so.5\n"
         "race:libdbus-1.so.3\n"
         "deadlock:libdbus-1.so.3\n";
}
#endif

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Sizes in the tests are given at 96 dpi.
  setenv("QT_FONT_DPI", "96", 0);
  lmr::initHttpClient();
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
#if defined(__SANITIZE_ADDRESS__)
  // Checked while the application lives: Qt's offscreen platform never frees its screen when
  // the application ends, which is not ours to report. The check at exit is then skipped.
  __lsan_do_leak_check();
#endif
  return result;
}
