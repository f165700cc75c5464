// The state document, its path language and the JSON limits every peer text passes through.
#include <gtest/gtest.h>

#include <string>

#include "../src/JsonText.h"
#include "../src/StateDocument.h"
#include "../src/StatePath.h"

using tvsk::Json;
using tvsk::StateDocument;
using tvsk::StatePath;

namespace {

Json sampleDocument() {
  return Json::parse(R"({"Config":{"Role":3,"Plugins":[{"Name":"vextro","Major":1,"Minor":4}]},
    "Devices":[{"Id":7,"Identity":{"Name":"Stage box"},"Receivers":[{"Id":2,"Name":"R2"}]},{"Id":9,"Name":"x"}],
    "Streams":[{"Id":0,"Name":"Mic"}]})");
}

const Json* resolve(const Json& document, const std::string& path) {
  const auto parsed = StatePath::parse(path);
  return parsed.path ? parsed.path->resolve(document) : nullptr;
}

}  // namespace

TEST(EngineStatePath, ResolvesMembersIndexesAndIdFilters) {
  const Json document = sampleDocument();
  ASSERT_NE(resolve(document, "$"), nullptr);
  EXPECT_EQ(*resolve(document, "$"), document);
  EXPECT_EQ(*resolve(document, "$.Config.Role"), 3);
  EXPECT_EQ(*resolve(document, "$.Config.Plugins[0].Name"), "vextro");
  EXPECT_EQ(*resolve(document, "$.Devices[?(@.Id==7)].Receivers[?(@.Id==2)].Name"), "R2");
  EXPECT_EQ(*resolve(document, "$.Devices[?(@.Name=='x')].Id"), 9);
  EXPECT_EQ(*resolve(document, "$.Devices[?(@.Name==\"x\")].Id"), 9);
  EXPECT_EQ(*resolve(document, "$.Streams[0].Name"), "Mic");
}

TEST(EngineStatePath, UnknownPlacesResolveToNothing) {
  const Json document = sampleDocument();
  for (const char* path : {"$.Nope", "$.Config.Role.Deeper", "$.Devices[5]", "$.Devices[?(@.Id==8)]", "$.Config[0]",
                           "$.Devices.Id", "$.Devices[?(@.Id=='7')]"}) {
    const auto parsed = StatePath::parse(path);
    ASSERT_TRUE(parsed.path) << path << ": " << parsed.error;
    EXPECT_EQ(parsed.path->resolve(document), nullptr) << path;
  }
}

TEST(EngineStatePath, MalformedPathsAreRefused) {
  for (const char* path : {"", "Config", "$Config", "$.", "$..A", "$.A.", "$[", "$[x]", "$[-1]", "$[]", "$[?(@.Id=7)]",
                           "$[?(@.Id==)]", "$[?(Id==7)]", "$[?(@.Id==7]", "$[99999999999999999999]"}) {
    const auto parsed = StatePath::parse(path);
    EXPECT_FALSE(parsed.path) << path;
    EXPECT_FALSE(parsed.error.empty()) << path;
  }
  std::string deep = "$";
  for (int i = 0; i < 65; ++i) deep += ".a";
  EXPECT_EQ(StatePath::parse(deep).error, "more than 64 steps");
  // The reason names what is wrong and where.
  EXPECT_EQ(StatePath::parse("Config").error, "a path begins with $");
  EXPECT_EQ(StatePath::parse("$.A..B").error, "empty member name at 3");
  EXPECT_EQ(StatePath::parse("$.Devices[?(@.Id=7)]").error, "a filter compares a key with == and a value");
}

TEST(EngineStateDocument, KeepsStreamsByIdAndDropsRemovedOnes) {
  StateDocument state;
  EXPECT_TRUE(state.applyStreamMessage(R"({"Action":"Add","Id":4,"Payload":{"Name":"B","Origin":"SAP"}})"));
  EXPECT_TRUE(state.applyStreamMessage(R"({"Action":"Add","Id":1,"Payload":{"Name":"A"}})"));
  EXPECT_TRUE(state.applyStreamMessage(R"({"Action":"Add","Id":4,"Payload":{"Name":"B2"}})"));
  Json streams = state.snapshot()["Streams"];
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0], Json::parse(R"({"Id":1,"Name":"A"})"));
  EXPECT_EQ(streams[1], Json::parse(R"({"Id":4,"Name":"B2"})"));

  EXPECT_TRUE(state.applyStreamMessage(R"({"Action":"Remove","Id":1,"Payload":{}})"));
  EXPECT_TRUE(state.applyStreamMessage(R"({"Action":"Remove","Id":77,"Payload":{}})"));
  streams = state.snapshot()["Streams"];
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0]["Id"], 4);
}

TEST(EngineStateDocument, RefusesMessagesThatAreNotAddOrRemove) {
  StateDocument state;
  for (const char* text :
       {"", "nonsense", "[]", R"({"Action":"Add","Id":1})", R"({"Action":"Add","Id":"1","Payload":{}})",
        R"({"Action":"Add","Id":1,"Payload":[]})", R"({"Action":"Change","Id":1,"Payload":{}})",
        R"({"Id":1,"Payload":{}})", R"({"Action":"Remove","Id":1.5})"}) {
    EXPECT_FALSE(state.applyStreamMessage(text)) << text;
  }
  EXPECT_TRUE(state.snapshot()["Streams"].empty());
}

TEST(EngineStateDocument, DevicesCarryTheirProxyIdInIdOrder) {
  StateDocument state;
  state.setDevice(9, Json::parse(R"({"Id":1,"Identity":{"Name":"late"}})"));
  state.setDevice(2, Json::parse(R"({"Identity":{"Name":"early"}})"));
  const Json devices = state.snapshot()["Devices"];
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]["Id"], 2);
  EXPECT_EQ(devices[1]["Id"], 9);
  state.removeDevice(2);
  EXPECT_EQ(state.snapshot()["Devices"].size(), 1u);
}

TEST(EngineStateDocument, ConfigHoldsPluginsFoldersFiltersAndRole) {
  StateDocument state;
  state.setRole(1);
  state.setPlugins({{"vextro", 1, 4}, {"annwatch", 0, 3}});
  state.setPluginDirectories({"/a", "/b"});
  state.setInterfaceFilters({{"10.0.0.1", "255.0.0.0"}});
  EXPECT_EQ(tvsk::compactJson(state.snapshot()["Config"]),
            R"({"InterfaceFilters":[{"Ip":"10.0.0.1","Mask":"255.0.0.0"}],"PluginDirectory":["/a","/b"],)"
            R"("Plugins":[{"Major":1,"Minor":4,"Name":"vextro"},{"Major":0,"Minor":3,"Name":"annwatch"}],"Role":1})");
  state.clear();
  EXPECT_EQ(
      tvsk::compactJson(state.snapshot()),
      R"({"Config":{"InterfaceFilters":[],"PluginDirectory":[],"Plugins":[],"Role":0},"Devices":[],"Streams":[]})");
}

TEST(EngineStateDocument, ReadersShareOneSerialisedViewUntilTheStateChanges) {
  StateDocument state;
  state.setDevice(4, Json{{"Identity", {{"Name", "Box \xff"}}}});  // invalid UTF-8 is replaced, not thrown
  state.applyStreamMessage(R"({"Action":"Add","Id":3,"Payload":{"Name":"Mic"}})");
  const auto first = state.view();
  EXPECT_EQ(state.view(), first);  // nothing changed: nothing rebuilt
  EXPECT_EQ(first->text, tvsk::compactJson(first->document));
  for (const char* member : {"Config", "Devices", "Streams"}) {
    EXPECT_EQ(first->memberTexts.at(member), tvsk::compactJson(first->document[member])) << member;
  }
  state.removeDevice(4);
  const auto second = state.view();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->memberTexts.at("Devices"), "[]");
  EXPECT_EQ(first->document["Devices"].size(), 1u);  // a reader's view stays as it was
}

TEST(EngineJsonText, DeepNestingIsRefusedBracketsInStringsDoNotCount) {
  const std::string deep = std::string(65, '[') + std::string(65, ']');
  EXPECT_FALSE(tvsk::parseJson(deep));
  const std::string allowed = std::string(64, '[') + std::string(64, ']');
  EXPECT_TRUE(tvsk::parseJson(allowed));
  EXPECT_EQ(tvsk::jsonNestingDepth(R"({"a":"[[[[\"{{{{","b":[1]})"), 2u);
  EXPECT_FALSE(tvsk::parseJson("{\"a\":"));
  EXPECT_FALSE(tvsk::parseJson("\"\xff\""));
}
