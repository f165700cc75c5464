// The default main of the Qt widget tests; in a file of its own so that a test executable with
// its own main leaves it out of the link.
#include "testing/qt_test_main/qt_test_main.h"

int main(int argc, char** argv) { return lumora_testing::runQtTests(argc, argv); }
