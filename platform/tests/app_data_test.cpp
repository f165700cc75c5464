#include "platform/app_data.h"

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

using testing_support::ScopedEnv;

TEST(UserAppDataDir, PrefersAppDataThenXdgThenHome) {
  ScopedEnv appData("APPDATA", "/tmp/appdata");
  ScopedEnv xdg("XDG_CONFIG_HOME", "/tmp/xdg");
  ScopedEnv home("HOME", "/tmp/home");
  EXPECT_EQ(platform::userAppDataDir(), "/tmp/appdata");
  {
    ScopedEnv noAppData("APPDATA", std::nullopt);
    EXPECT_EQ(platform::userAppDataDir(), "/tmp/xdg");
    ScopedEnv noXdg("XDG_CONFIG_HOME", "");
    EXPECT_EQ(platform::userAppDataDir(), "/tmp/home/.config");
  }
}

TEST(UserAppDataDir, IgnoresARelativeXdgConfigHome) {
  ScopedEnv appData("APPDATA", std::nullopt);
  ScopedEnv home("HOME", "/tmp/home");
  for (const char* relative : {"xdg", "./xdg", "../xdg", "~/xdg"}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", relative);
    EXPECT_EQ(platform::userAppDataDir(), "/tmp/home/.config") << relative;
  }
  ScopedEnv noHome("HOME", std::nullopt);
  ScopedEnv xdg("XDG_CONFIG_HOME", "xdg");
  EXPECT_EQ(platform::userAppDataDir(), "");
}

TEST(UserAppDataDir, IsEmptyWhenNothingIsKnownSoNothingLandsAtTheRoot) {
  ScopedEnv appData("APPDATA", "");
  ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv home("HOME", std::nullopt);
  EXPECT_EQ(platform::userAppDataDir(), "");
}

TEST(CommonAppDataDir, UsesProgramDataOrVarLib) {
  {
    ScopedEnv programData("PROGRAMDATA", "/tmp/programdata");
    EXPECT_EQ(platform::commonAppDataDir(), "/tmp/programdata");
  }
  ScopedEnv programData("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(platform::commonAppDataDir(), "/var/lib");
}
