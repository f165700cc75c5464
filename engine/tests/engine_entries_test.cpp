#include "TaviskEngine.h"

#include <gtest/gtest.h>

#include "../src/Engine.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

using testing_support::ScopedEnv;
using testing_support::StdoutCapture;

TEST(EngineEntries, RecordFiltersStartAndStopAndPrintEachCall) {
  StdoutCapture capture;
  EXPECT_EQ(TVSK_AddInterfaceFilter("192.168.10.4", "255.255.255.0"), 0);
  EXPECT_EQ(TVSK_AddInterfaceFilter("10.0.0.1", "255.0.0.0"), 0);
  EXPECT_EQ(TVSK_Initialize(-1, 0, 3), 0);
  EXPECT_TRUE(tvsk::Engine::instance().running());
  EXPECT_EQ(tvsk::Engine::instance().role(), 3);
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_FALSE(tvsk::Engine::instance().running());
  EXPECT_EQ(capture.take(),
            "TVSK_AddInterfaceFilter(192.168.10.4,255.255.255.0) -> 0\n"
            "TVSK_AddInterfaceFilter(10.0.0.1,255.0.0.0) -> 0\n"
            "TVSK_Initialize(-1,0,3) -> 0\n"
            "TVSK_Uninitialize() -> 0\n");

  const auto filters = tvsk::Engine::instance().interfaceFilters();
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_EQ(filters[1].address, "10.0.0.1");
  EXPECT_EQ(filters[1].netmask, "255.0.0.0");
  auto& shared = tvsk::Engine::instance().filteredAddresses();
  boost::lock_guard<boost::mutex> lock(shared.mutex);
  EXPECT_EQ(shared.addresses.count("192.168.10.4"), 1u);
}

TEST(EngineEntries, RefuseMalformedFilterTexts) {
  StdoutCapture capture;
  EXPECT_EQ(TVSK_AddInterfaceFilter(nullptr, "255.0.0.0"), -1);
  EXPECT_EQ(TVSK_AddInterfaceFilter("300.1.1.1", "255.0.0.0"), -1);
  EXPECT_EQ(TVSK_AddInterfaceFilter("10.0.0.9", "mask"), -1);
  EXPECT_EQ(capture.take(),
            "TVSK_AddInterfaceFilter((null),255.0.0.0) -> -1\n"
            "TVSK_AddInterfaceFilter(300.1.1.1,255.0.0.0) -> -1\n"
            "TVSK_AddInterfaceFilter(10.0.0.9,mask) -> -1\n");
}

TEST(EngineEntries, UninitializeIsSafeUnstartedAndTwice) {
  StdoutCapture capture;
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_EQ(TVSK_Uninitialize(), 0);
  EXPECT_FALSE(tvsk::Engine::instance().running());
}

TEST(EngineEntries, ForcedResultMakesInitializeFail) {
  ScopedEnv forced(tvsk::Engine::kForcedInitResultVariable, "-7");
  StdoutCapture capture;
  EXPECT_EQ(TVSK_Initialize(-1, 0, 1), -7);
  EXPECT_FALSE(tvsk::Engine::instance().running());
  EXPECT_EQ(capture.take(), "TVSK_Initialize(-1,0,1) -> -7\n");
}
