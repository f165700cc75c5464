// Device models and the initialization JSON.
#include <gtest/gtest.h>

#include <set>

#include "plugins/vextro/src/DeviceConfig.h"
#include "plugins/vextro/src/DeviceModels.h"
#include "plugins/vextro/tests/TestSupport.h"

namespace Vextro {
namespace {

using vextro_test::ScopedPluginLog;

std::string InitJson(const std::string& type, const std::string& ip = "\"192.168.0.10\"",
                     const std::string& port = "80") {
  return R"({"Origin":"x","Type":)" + type + R"(,"Subtypes":[],"Ip":)" + ip + R"(,"Port":)" + port + "}";
}

// What the table is for: every model is found by its own type text wherever it stands in the
// engine's "Type", and the generic text finds the first model that accepts it, so no model hides
// another and the list order decides only where both texts occur.
TEST(VextroModels, EveryModelIsFoundByItsOwnTypeAndTheGenericTypeByTheFirstThatAcceptsIt) {
  const auto& list = DeviceConfigList();
  ASSERT_FALSE(list.empty());
  std::set<int32_t> ids;
  DeviceConfigPtr firstGeneric;
  for (const auto& model : list) {
    EXPECT_TRUE(ids.insert(model->GetModelId()).second) << "model id used twice: " << model->GetModelId();
    EXPECT_EQ(FindDeviceConfig(model->GetDeviceType(), {}), model) << model->GetDeviceType();
    EXPECT_EQ(FindDeviceConfig("Maker " + model->GetDeviceType() + " rev. 2", {}), model) << model->GetDeviceType();
    EXPECT_GT(model->GetMaxChannels(), 0) << model->GetDeviceType();
    EXPECT_FALSE(model->GetProductName().empty()) << model->GetDeviceType();
    EXPECT_FALSE(model->GetCompany().empty()) << model->GetDeviceType();
    if (!firstGeneric && !model->GetGenericDeviceType().empty()) firstGeneric = model;
  }
  ASSERT_NE(firstGeneric, nullptr);
  EXPECT_EQ(FindDeviceConfig(firstGeneric->GetGenericDeviceType(), {}), firstGeneric);
  // A model before the first generic one wins when its own text stands beside the generic text.
  EXPECT_EQ(FindDeviceConfig(list.front()->GetDeviceType() + " " + firstGeneric->GetGenericDeviceType(), {}),
            list.front());
}

TEST(VextroModels, FirstMatchWins) {
  EXPECT_NE(dynamic_cast<const CantorConfig*>(FindDeviceConfig("Vextro CANTOR", {}).get()), nullptr);
  EXPECT_NE(dynamic_cast<const OrmoluLinkConfig*>(FindDeviceConfig("Vextro GENERIC", {}).get()), nullptr);
  EXPECT_NE(dynamic_cast<const OrmoluLinkConfig*>(FindDeviceConfig("Vormo QK71 Vextro GENERIC", {}).get()), nullptr);
  EXPECT_NE(dynamic_cast<const Selva17Config*>(FindDeviceConfig("Vextro GENERIC Vextro SELVA.17", {}).get()), nullptr);
  EXPECT_NE(dynamic_cast<const VormoQk71Config*>(FindDeviceConfig("x Vormo QK71 y", {}).get()), nullptr);
  EXPECT_NE(dynamic_cast<const QRTConfig*>(FindDeviceConfig("Brantel-QRT", {}).get()), nullptr);
  EXPECT_THROW((void)FindDeviceConfig("Vextro Cantor", {}), std::runtime_error);
}

TEST(VextroModels, ParseInitJson) {
  ScopedPluginLog log;
  std::string host;
  uint16_t port = 0;
  DeviceConfigPtr model;
  ASSERT_TRUE(ParseInitJson(InitJson("\"Vextro CANTOR\""), host, port, model));
  EXPECT_EQ(host, "192.168.0.10");
  EXPECT_EQ(port, 80);
  EXPECT_EQ(model->GetModelId(), 7);
  EXPECT_EQ(CurrentLogPath(), log.folder() + "/Vextro Technologies/vextro");

  EXPECT_TRUE(ParseInitJson(InitJson("\"Vextro CANTOR\"", "1234", "65616"), host, port, model));
  EXPECT_EQ(host, "1234");
  EXPECT_EQ(port, 80);
  EXPECT_TRUE(ParseInitJson(InitJson("\"Vextro CANTOR\"", "\"h\"", "80.9"), host, port, model));
  EXPECT_EQ(port, 80);
  EXPECT_TRUE(ParseInitJson(InitJson("\"Vextro CANTOR\"", "\"h\"", "-1"), host, port, model));
  EXPECT_EQ(port, 65535);
  EXPECT_TRUE(ParseInitJson(InitJson("\"Vextro CANTOR\"", "\"h\"", "true"), host, port, model));
  EXPECT_EQ(port, 1);

  log.clear();
  EXPECT_FALSE(ParseInitJson(R"({"Type":"Vextro CANTOR","Subtypes":[],"Ip":"h","Port":80})", host, port, model));
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
  EXPECT_FALSE(ParseInitJson("[1,2]", host, port, model));
  EXPECT_EQ(log.text(), "");

  EXPECT_FALSE(ParseInitJson(InitJson("\"Vextro Cantor\""), host, port, model));
  EXPECT_TRUE(log.contains("ERROR: parsing initialization JSON failed: No matching configuration found"));
  EXPECT_FALSE(ParseInitJson(InitJson("\"Vextro CANTOR\"", "\"h\"", "\"80\""), host, port, model));
  EXPECT_TRUE(log.contains("ERROR: parsing initialization JSON failed: Not an unsigned int"));
  EXPECT_FALSE(ParseInitJson(InitJson("\"Vextro CANTOR\"", "\"h\"", "1e300"), host, port, model));
  EXPECT_FALSE(ParseInitJson("{not json", host, port, model));
  EXPECT_TRUE(log.contains("ERROR: parsing initialization JSON failed: [json.exception.parse_error"));
  EXPECT_FALSE(
      ParseInitJson(R"({"Origin":1,"Type":"Vextro CANTOR","Subtypes":5,"Ip":"h","Port":80})", host, port, model));
  EXPECT_TRUE(log.contains("failed: Not an array"));
  EXPECT_EQ(host, "");
  // A "Type" nested far too deep is refused, not serialised into the stack's end.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(ParseInitJson(InitJson(deep), host, port, model));
  EXPECT_TRUE(log.contains("ERROR: parsing initialization JSON failed: document nested deeper than 128 levels"));
}

}  // namespace
}  // namespace Vextro
