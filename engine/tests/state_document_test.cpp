// The state document, its path language and the JSON limits every peer text passes through.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../src/ApiRouter.h"
#include "../src/DeferredRelease.h"
#include "../src/JsonText.h"
#include "../src/StateDocument.h"
#include "../src/StatePath.h"
#include "../src/WebPage.h"

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
  EXPECT_EQ(state.statusPage(), state.statusPage());
  EXPECT_EQ(state.document(), state.document());
  EXPECT_EQ(first->text, tvsk::compactJson(*state.document()));
  for (const char* member : {"Config", "Devices", "Streams"}) {
    EXPECT_EQ(first->memberTexts.at(member), tvsk::compactJson((*state.document())[member])) << member;
  }
  const auto firstPage = state.statusPage();
  state.removeDevice(4);
  const auto second = state.view();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->memberTexts.at("Devices"), "[]");
  EXPECT_EQ(Json::parse(first->text)["Devices"].size(), 1u);  // a reader's view stays as it was
  EXPECT_NE(firstPage->find("Box \xff"), std::string::npos);
  EXPECT_EQ(state.statusPage()->find("Box \xff"), std::string::npos);
}

// Every text a reader gets is joined from the entries' own texts and rows; checked byte for byte
// against a whole serialisation and a whole render of the same state, kept here independently,
// through a long run of random changes: nested device states, odd values, invalid UTF-8 in values
// and keys, replacements, removals, Config changes and clearing.
TEST(EngineStateDocument, JoinedTextsAndPageEqualAWholeSerialisationAndRender) {
  std::mt19937 random(28);
  const auto pick = [&random](int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); };
  const std::vector<std::string> words = {"Box", "Stage \"left\"", "R\xc3\xa9gie", "bad \xff\xfe end", "<b>&amp;</b>",
                                          "",    "\xe2\x82",       "\\\n\t\x01"};
  std::function<Json(int)> value = [&](int depth) -> Json {
    switch (depth > 0 ? pick(9) : pick(6)) {
      case 0: return nullptr;
      case 1: return pick(2) == 1;
      case 2: return pick(2000) - 1000;
      case 3: return 0.1 * pick(100000) - 77.5;
      case 4: return static_cast<uint64_t>(18446744073709551615ull - static_cast<uint64_t>(pick(3)));
      case 5: return words[static_cast<std::size_t>(pick(static_cast<int>(words.size())))];
      case 6:
      case 7: {
        Json object = Json::object();
        for (int i = pick(5); i > 0; --i) {
          object[words[static_cast<std::size_t>(pick(static_cast<int>(words.size())))] + std::to_string(pick(3))] =
              value(depth - 1);
        }
        return object;
      }
      default: {
        Json array = Json::array();
        for (int i = pick(4); i > 0; --i) array.push_back(value(depth - 1));
        return array;
      }
    }
  };
  const auto device = [&]() {
    Json state = Json::parse(R"({"Identity":{"Name":"Box","Product":"P"},"Status":{"Code":1,"Message":"OK",
      "Errors":{}},"Network":{"Interfaces":[{"Address":"10.0.0.2"}]},"IOGroups":[{"Status":{"SampleRate":48000}}],
      "Streamers":[{"Id":0,"StreamName":"Mix","StreamDescription":{"Address":"239.1.1.1","Port":5004}}],
      "Receivers":[{"Id":1,"Name":"R","Status":{"StreamDescription":{"Address":"239.1.1.2","Port":5004}}}]})");
    state["Identity"]["Name"] = value(0);
    state["Status"]["Errors"] = value(2);
    state["Receivers"].push_back(value(3));
    state[words[static_cast<std::size_t>(pick(static_cast<int>(words.size())))]] = value(3);
    return pick(12) == 0 ? value(2) : state;  // now and then not an object at all
  };

  StateDocument state;
  Json config = Json::parse(R"({"InterfaceFilters":[],"PluginDirectory":[],"Plugins":[],"Role":0})");
  std::map<uint32_t, Json> devices;
  std::map<int64_t, Json> streams;
  for (int step = 0; step < 400; ++step) {
    const int kind = pick(10);
    if (kind < 3) {
      const auto id = static_cast<uint32_t>(pick(12));
      Json stateOfDevice = device();
      devices[id] = stateOfDevice;
      if (devices[id].is_object()) devices[id]["Id"] = id;
      state.setDevice(id, std::move(stateOfDevice));
    } else if (kind == 3) {
      const auto id = static_cast<uint32_t>(pick(12));
      devices.erase(id);
      state.removeDevice(id);
    } else if (kind < 7) {
      const int64_t id = pick(40) - 5;
      Json payload = {{"Name", value(0)},        {"Ip", "10.0.0.1"},       {"DestinationIp", value(0)},
                      {"DestinationPort", 5004}, {"SampleRate", value(0)}, {"Extra", value(3)}};
      const std::string message = tvsk::compactJson(Json{{"Action", "Add"}, {"Id", id}, {"Payload", payload}});
      ASSERT_TRUE(state.applyStreamMessage(message)) << message;
      // The plug-in's text carries invalid UTF-8 already replaced.
      streams[id] = Json::parse(message)["Payload"];
      streams[id]["Id"] = id;
    } else if (kind == 7) {
      const int64_t id = pick(40) - 5;
      streams.erase(id);
      ASSERT_TRUE(state.applyStreamMessage(R"({"Action":"Remove","Id":)" + std::to_string(id) + "}"));
    } else if (kind == 8) {
      const int role = pick(4);
      config["Role"] = role;
      state.setRole(role);
      const std::string name = words[static_cast<std::size_t>(pick(static_cast<int>(words.size())))];
      config["Plugins"] = Json::array({{{"Name", name}, {"Major", 1}, {"Minor", step}}});
      state.setPlugins({{name, 1, step}});
    } else if (pick(8) == 0) {
      config = Json::parse(R"({"InterfaceFilters":[],"PluginDirectory":[],"Plugins":[],"Role":0})");
      devices.clear();
      streams.clear();
      state.clear();
    }
    if (pick(3) != 0) {
      continue;  // several changes between reads, as when readers are slower than the plug-ins
    }
    Json expected = {{"Config", config}, {"Devices", Json::array()}, {"Streams", Json::array()}};
    for (const auto& entry : devices) expected["Devices"].push_back(entry.second);
    for (const auto& entry : streams) expected["Streams"].push_back(entry.second);
    const auto view = state.view();
    ASSERT_EQ(view->text, tvsk::compactJson(expected)) << "step " << step;
    for (const char* member : {"Config", "Devices", "Streams"}) {
      ASSERT_EQ(view->memberTexts.at(member), tvsk::compactJson(expected[member])) << member << " step " << step;
    }
    ASSERT_EQ(*state.statusPage(), tvsk::renderStatusPage(expected)) << "step " << step;
    ASSERT_EQ(*state.document(), expected) << "step " << step;
  }
}

// A change costs the serialisation of what changed; readers between changes cost nothing; the
// whole document is built only for a path that has no ready text.
TEST(EngineStateDocument, AChangeSerialisesOnlyWhatChangedAndReadsReuseTheJoinedTexts) {
  StateDocument state;
  constexpr int kStreams = 1000;
  for (int id = 0; id < kStreams; ++id) {
    state.applyStreamMessage(R"({"Action":"Add","Id":)" + std::to_string(id) + R"(,"Payload":{"Name":"S"}})");
  }
  state.setDevice(1, Json::parse(R"({"Identity":{"Name":"Box"}})"));
  const tvsk::ApiRouter router(state, {});
  const auto get = [&router](const std::string& path) {
    return router.handle({"POST", "/get", "Basic a2lsbzptYXJz", tvsk::compactJson(Json{{"Path", path}})}).response;
  };
  const auto page = [&router] { return router.handle({"GET", "/", "", ""}).response; };
  ASSERT_EQ(get("$").status, 200u);
  ASSERT_EQ(page().status, 200u);
  const StateDocument::WorkCounts before = state.workCounts();

  state.applyStreamMessage(R"({"Action":"Add","Id":500,"Payload":{"Name":"Renamed"}})");
  for (int read = 0; read < 5; ++read) {
    EXPECT_NE(get("$").body.find("Renamed"), std::string::npos);
    EXPECT_NE(get("$.Streams").body.find("Renamed"), std::string::npos);
    EXPECT_NE(page().body.find("Renamed"), std::string::npos);
  }
  StateDocument::WorkCounts after = state.workCounts();
  EXPECT_EQ(after.entriesSerialised, before.entriesSerialised + 1);
  EXPECT_EQ(after.textsJoined, before.textsJoined + 1);
  EXPECT_EQ(after.pagesJoined, before.pagesJoined + 1);
  EXPECT_EQ(after.documentsBuilt, before.documentsBuilt);

  EXPECT_EQ(get("$.Streams[?(@.Id==500)].Name").body, "\"Renamed\"");
  EXPECT_EQ(get("$.Devices[0].Identity.Name").body, "\"Box\"");
  EXPECT_EQ(state.workCounts().documentsBuilt, before.documentsBuilt + 1);  // once for both paths
  state.removeDevice(1);
  EXPECT_EQ(get("$.Devices[0]").status, 404u);
  after = state.workCounts();
  EXPECT_EQ(after.documentsBuilt, before.documentsBuilt + 2);
  EXPECT_EQ(after.entriesSerialised, before.entriesSerialised + 1);  // a removal serialises nothing
}

// Readers on one thread, the plug-ins' changes on another (the sanitizer builds check the locking):
// every view a reader gets is whole and consistent with its member texts.
TEST(EngineStateDocument, ReadersWhileTheStateChangesGetWholeConsistentTexts) {
  StateDocument state;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int change = 0; change < 3000; ++change) {
      const std::string id = std::to_string(change % 50);
      if (change % 7 == 0) {
        state.applyStreamMessage(R"({"Action":"Remove","Id":)" + id + "}");
      } else if (change % 5 == 0) {
        state.setDevice(static_cast<uint32_t>(change % 9), Json{{"Identity", {{"Name", "Box " + id}}}});
      } else {
        state.applyStreamMessage(R"({"Action":"Add","Id":)" + id + R"(,"Payload":{"Name":"S )" + id + "\"}}");
      }
    }
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    const auto view = state.view();
    const Json parsed = Json::parse(view->text);
    ASSERT_EQ(view->text, R"({"Config":)" + std::string(view->memberTexts.at("Config")) + R"(,"Devices":)" +
                              std::string(view->memberTexts.at("Devices")) + R"(,"Streams":)" +
                              std::string(view->memberTexts.at("Streams")) + "}");
    ASSERT_TRUE(parsed["Streams"].is_array());
    ASSERT_NE(state.statusPage()->find("</html>"), std::string::npos);
    ASSERT_TRUE(state.document()->contains("Streams"));
    ++reads;
  }
  writer.join();
  EXPECT_EQ(Json::parse(state.view()->text), *state.document());
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

// The last reader of a shared value does not free it; the owner's next releaseDropped() does, on
// the owner's thread. Once the owner is gone, values are freed by whoever drops them.
TEST(EngineDeferredRelease, ReadersDropValuesWithoutFreeingThem) {
  struct Tracked {
    std::atomic<int>* freed;
    std::thread::id* freedBy;
    ~Tracked() {
      *freedBy = std::this_thread::get_id();
      ++*freed;
    }
  };
  std::atomic<int> freed{0};
  std::thread::id freedBy;
  const auto tracked = [&] {
    auto value = std::make_unique<Tracked>();
    value->freed = &freed;
    value->freedBy = &freedBy;
    return value;
  };
  std::shared_ptr<const Tracked> held;
  {
    tvsk::DeferredRelease release;
    auto value = release.share(tracked());
    held = release.share(tracked());
    std::thread reader([value = std::move(value)]() mutable { value.reset(); });
    reader.join();
    EXPECT_EQ(freed, 0);
    release.releaseDropped();
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(freedBy, std::this_thread::get_id());
  }
  std::thread lastReader([held = std::move(held)]() mutable { held.reset(); });
  const std::thread::id lastReaderId = lastReader.get_id();
  lastReader.join();
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(freedBy, lastReaderId);
}
