#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/src/Config.h"
#include "testing/temp_dir.h"

namespace config_testing {

// A private per-user and machine-wide folder for each test.
class ConfigTest : public ::testing::Test {
 protected:
  std::string base() const { return userData.path() + "/Brixel Technologies/lumora"; }
  std::string configFile() const { return base() + "/config.json"; }
  std::string machinePlugins() const { return machineData.path() + "/Brixel Technologies/Lumora/Plugins"; }

  // Writes config.json before loading it.
  lmr::Config& loadWith(const std::string& contents) {
    std::filesystem::create_directories(base());
    testing_support::writeFile(configFile(), contents);
    config.load();
    return config;
  }

  testing_support::TempDir userData;
  testing_support::TempDir machineData;
  testing_support::ScopedEnv appData{"APPDATA", userData.path()};
  testing_support::ScopedEnv programData{"PROGRAMDATA", machineData.path()};
  testing_support::ScopedEnv pluginDirs{"TVSK_PLUGIN_DIRS", std::nullopt};
  lmr::Config& config = lmr::Config::instance();
};

inline std::vector<std::string> defaultNames() {
  return {"svcwatch.so",    "annwatch.so", "relay_kelvane.so", "relay_brixel.so", "relay_legacy.so",
          "relay_quill.so", "vextro.so",   "relay_ostra.so",   "relay_cobalt.so", "relay_replay.so"};
}

// Names in the document's "plugins" table, in order.
inline std::vector<std::string> pluginNames(const lmr::Config& config) {
  std::vector<std::string> names;
  for (const lmr::Value& plugin : (*config.document())["plugins"].GetArray()) {
    names.emplace_back(plugin["name"].GetString());
  }
  return names;
}

}  // namespace config_testing
