#pragma once

namespace lumora_testing {

// Runs the GoogleTest cases inside one QApplication on the offscreen platform (unless the
// environment names another) at 96 dpi; the application does not quit when its last window
// closes, as in the program. Returns RUN_ALL_TESTS' result.
int runQtTests(int argc, char** argv);

}  // namespace lumora_testing
