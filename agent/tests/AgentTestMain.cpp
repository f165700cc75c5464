#include "agent/src/HttpClient.h"
#include "testing/qt_test_main/qt_test_main.h"

int main(int argc, char** argv) {
  // libcurl's global set-up is not thread-safe: it runs before the application starts any thread.
  lmr::initHttpClient();
  return lumora_testing::runQtTests(argc, argv);
}
