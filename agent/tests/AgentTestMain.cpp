// Widgets need an application object before any test runs; tests draw offscreen.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/src/HttpClient.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  lmr::initHttpClient();
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
