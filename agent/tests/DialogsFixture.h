#pragma once

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/src/CatalogueHttp.h"
#include "agent/src/Config.h"
#include "agent/src/Json.h"
#include "testing/http_server/http_server.h"
#include "testing/qt_test_main/process_events_until.h"
#include "testing/temp_dir.h"

namespace dialogs_test {

using testing_support::processEventsUntil;

using namespace std::chrono_literals;

// Names in a folder, sorted; empty when it does not exist.
inline std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::shared_ptr<lmr::Document> parsedDocument(const std::string& json) {
  auto document = std::make_shared<lmr::Document>();
  document->Parse(json.c_str());
  EXPECT_FALSE(document->HasParseError()) << json;
  return document;
}

// Private per-user and machine-wide folders with a loaded configuration, and a catalogue
// server that LUMORA_CATALOGUE_HOST points at. Transfers wait at most half a second.
class CatalogueFixture : public ::testing::Test {
 protected:
  CatalogueFixture() { lmr::setHttpTimeouts({1000ms, 500ms}); }
  ~CatalogueFixture() override { lmr::setHttpTimeouts({}); }

  void SetUp() override { config.load(); }

  [[nodiscard]] std::string userPlugins() const { return config.pluginsFolder(); }
  [[nodiscard]] std::string pictures() const { return config.picturesFolder() + "/"; }
  // "<address><path>" as the catalogue writes addresses, without a scheme.
  [[nodiscard]] std::string at(const std::string& path) const { return server.address() + path; }
  // One plug-in entry of the catalogue, served from "/files/"; no "Linux" member when file is empty.
  [[nodiscard]] std::string catalogueEntry(const std::string& name, const std::string& description,
                                           const std::string& certification, int major, int minor,
                                           const std::string& file) const {
    std::string entry = R"({"Name":")" + name + R"(","URL":")" + at("/files/") + R"(","Description":")" + description +
                        R"(","Contact":"c","Certification":")" + certification + R"(","Major":)" +
                        std::to_string(major) + R"(,"Minor":)" + std::to_string(minor);
    if (!file.empty()) entry += R"(,"Linux":")" + file + '"';
    return entry + "}";
  }

  testing_support::TempDir userData;
  testing_support::TempDir machineData;
  testing_support::ScopedEnv appData{"APPDATA", userData.path()};
  testing_support::ScopedEnv programData{"PROGRAMDATA", machineData.path()};
  lmr::Config& config = lmr::Config::instance();
  testing_support::HttpServer server;
  testing_support::ScopedEnv catalogueHost{"LUMORA_CATALOGUE_HOST", server.address()};
};

}  // namespace dialogs_test
