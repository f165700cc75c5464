#include "agent/src/PluginCatalogue.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <map>
#include <string>

#include "testing/stdout_capture.h"

namespace {

using lmr::PluginRecord;
using testing_support::StdoutCapture;

std::map<QString, PluginRecord> read(const std::string& json) {
  lmr::Document document;
  EXPECT_TRUE(lmr::parseCatalogueText(json, document)) << json;
  std::map<QString, PluginRecord> catalogue;
  lmr::readCatalogue(document, catalogue);
  return catalogue;
}

TEST(PluginCatalogue, ReadsRecordsWithTheirPictures) {
  StdoutCapture capture;
  const auto catalogue = read(R"({"Plugins":[
      {"Name":"vextro","URL":"h:81/p/","Description":"Vextro proxy","Contact":"c","Certification":"beta",
       "Linux":"vextro.so","Major":1,"Minor":3}],
    "Images":[{"Proxy":"vextro","Vendor":"Brixel","Product":"Pavlix","PNG_URL":"h/a.png","ICNS_URL":"h/a.icns"},
              {"Proxy":"vextro","Vendor":"Brixel","Product":"Nimbrel","PNG_URL":"h/b.png","ICNS_URL":"h/b.icns"}]})");
  ASSERT_EQ(catalogue.size(), 1u);
  const PluginRecord& record = catalogue.at("vextro");
  EXPECT_EQ(record.URL, "h:81/p/");
  EXPECT_EQ(record.Windows, "vextro.so");
  EXPECT_TRUE(record.hasWindows);
  EXPECT_EQ(record.level, 1);
  EXPECT_EQ(lmr::stabilityName(record), "beta");
  EXPECT_EQ(record.Major, 1);
  EXPECT_EQ(record.Minor, 3);
  EXPECT_FALSE(record.installed);
  EXPECT_FALSE(record.outdated);
  ASSERT_EQ(record.images.size(), 2u);
  EXPECT_EQ(record.images[1]->Product, "Nimbrel");
  EXPECT_EQ(record.images[1]->ICNS_URL, "h/b.icns");
  EXPECT_NE(capture.take().find("<<<<PLUGIN>>>>> vextro - h:81/p/ - Vextro proxy\n"), std::string::npos);
}

TEST(PluginCatalogue, OnlyThisPlatformsFileCounts) {
  const auto catalogue = read(R"({"Plugins":[
      {"Name":"a","URL":"h/","Description":"","Contact":"","Certification":"release","Windows":"a.dll","Linux":"a.so"},
      {"Name":"b","URL":"h/","Description":"","Contact":"","Certification":"release","Linux":7,"Windows":"b.dll"},
      {"Name":"c","URL":"h/","Description":"","Contact":"","Certification":"release","Windows":"c.dll"}]})");
  EXPECT_EQ(catalogue.at("a").Windows, "a.so");
  for (const char* other : {"b", "c"}) {
    EXPECT_TRUE(catalogue.at(other).Windows.isEmpty()) << other;
    EXPECT_FALSE(catalogue.at(other).hasWindows) << other;
  }
}

TEST(PluginCatalogue, AddressesWithControlCharactersOrBlanksAreRefused) {
  const auto catalogue = read(R"({"Plugins":[
      {"Name":"crlf","URL":"h/x\r\nSET owned 1\r\n/","Description":"","Contact":"","Certification":"beta","Linux":"a.so"},
      {"Name":"hostcrlf","URL":"h\r\nX: 1/","Description":"","Contact":"","Certification":"beta","Linux":"a.so"},
      {"Name":"blank","URL":"h/a b/","Description":"","Contact":"","Certification":"beta","Linux":"a.so"},
      {"Name":"tab","URL":"h:80\t/","Description":"","Contact":"","Certification":"beta","Linux":"a.so"},
      {"Name":"good","URL":"h:80/files/","Description":"","Contact":"","Certification":"beta","Linux":"a.so"}],
    "Images":[{"Proxy":"good","Vendor":"v","Product":"p","PNG_URL":"h/a\r\nX: 1","ICNS_URL":"h/b"},
              {"Proxy":"good","Vendor":"v","Product":"q","PNG_URL":"h/a","ICNS_URL":"h /b"},
              {"Proxy":"good","Vendor":"v","Product":"r","PNG_URL":"h/a","ICNS_URL":"h/b"}]})");
  EXPECT_EQ(catalogue.size(), 1u);
  ASSERT_EQ(catalogue.count("good"), 1u);
  ASSERT_EQ(catalogue.at("good").images.size(), 1u);
  EXPECT_EQ(catalogue.at("good").images[0]->Product, "r");
}

TEST(PluginCatalogue, PicturesAreCappedInAllAndPerPlugin) {
  std::string images;
  for (int i = 0; i < 300; ++i) {
    images += std::string(i ? "," : "") + R"({"Proxy":")" + (i < 20 ? "many" : "rest") +
              R"(","Vendor":"v","Product":"p)" + std::to_string(i) + R"(","PNG_URL":"h/a","ICNS_URL":"h/b"})";
  }
  const auto catalogue = read(R"({"Plugins":[
      {"Name":"many","URL":"h/","Description":"","Contact":"","Certification":"beta"},
      {"Name":"rest","URL":"h/","Description":"","Contact":"","Certification":"beta"}],"Images":[)" +
                              images + "]}");
  EXPECT_EQ(catalogue.at("many").images.size(), 8u);
  EXPECT_EQ(catalogue.at("rest").images.size(), 8u);
}

TEST(PluginCatalogue, CertificationAndVersionsReadStrictly) {
  const auto catalogue = read(R"({"Plugins":[
      {"Name":"r","URL":"h/","Description":"","Contact":"","Certification":"Release","Major":null},
      {"Name":"e","URL":"h/","Description":"","Contact":"","Certification":"experimental","Major":"2","Minor":1.5},
      {"Name":"s","URL":"h/","Description":"","Contact":"","Certification":"release"}]})");
  EXPECT_EQ(catalogue.at("r").level, -1);
  EXPECT_EQ(lmr::stabilityName(catalogue.at("r")), "unknown");
  EXPECT_EQ(catalogue.at("e").level, 0);
  EXPECT_EQ(catalogue.at("e").Major, 0);
  EXPECT_EQ(catalogue.at("e").Minor, 0);
  EXPECT_EQ(catalogue.at("s").level, 2);
  EXPECT_FALSE(catalogue.at("s").hasWindows);
}

TEST(PluginCatalogue, HostileEntriesAreRefusedAndTheRestKept) {
  StdoutCapture capture;
  const auto catalogue = read(R"({"Plugins":[
      {"Name":"dots","URL":"h/","Description":"","Contact":"","Certification":"beta","Linux":"../evil.so"},
      {"Name":"abs","URL":"h/","Description":"","Contact":"","Certification":"beta","Linux":"/abs/x.so"},
      {"Name":"sub","URL":"h/","Description":"","Contact":"","Certification":"beta","Linux":"a/b.so"},
      {"Name":"back","URL":"h/","Description":"","Contact":"","Certification":"beta","Linux":"..\\x.dll"},
      {"Name":"dot","URL":"h/","Description":"","Contact":"","Certification":"beta","Linux":".."},
      {"Name":"typed","URL":"h/","Description":"","Contact":"","Certification":"beta","Linux":["x.so"]},
      {"Name":"nohost","URL":"nohost","Description":"","Contact":"","Certification":"beta","Windows":"n.so"},
      {"URL":"h/","Description":"","Contact":"","Certification":"beta","Windows":"nameless.so"},
      {"Name":"numbered","URL":5,"Description":"","Contact":"","Certification":"beta"},
      {"Name":"nodescr","URL":"h/","Contact":"","Certification":"beta"},
      "not an object", 42, null,
      {"Name":"good","URL":"h/","Description":"fine","Contact":"","Certification":"beta","Linux":"good.so"}],
    "Images":[{"Proxy":"good","Vendor":"../../x","Product":"p","PNG_URL":"h/a","ICNS_URL":"h/b"},
              {"Proxy":"good","Vendor":"v","Product":"a/b","PNG_URL":"h/a","ICNS_URL":"h/b"},
              {"Proxy":"good","Vendor":"v","Product":"p","PNG_URL":"nohost","ICNS_URL":"h/b"},
              {"Proxy":"good","Vendor":"v","Product":7,"PNG_URL":"h/a","ICNS_URL":"h/b"},
              "picture",
              {"Proxy":"nobody","Vendor":"v","Product":"orphan","PNG_URL":"h/a","ICNS_URL":"h/b"},
              {"Proxy":"good","Vendor":"Vendor","Product":"Product","PNG_URL":"h/a","ICNS_URL":"h/b"}]})");
  for (const char* refused : {"dots", "abs", "sub", "back", "dot", "typed"}) {
    ASSERT_EQ(catalogue.count(refused), 1u) << refused;
    EXPECT_FALSE(catalogue.at(refused).hasWindows) << refused;
    EXPECT_TRUE(catalogue.at(refused).Windows.isEmpty()) << refused;
  }
  for (const char* skipped : {"nohost", "numbered", "nodescr", "", "nobody"}) {
    EXPECT_EQ(catalogue.count(skipped), 0u) << skipped;
  }
  EXPECT_EQ(catalogue.size(), 7u);
  const PluginRecord& good = catalogue.at("good");
  EXPECT_TRUE(good.hasWindows);
  ASSERT_EQ(good.images.size(), 1u);
  EXPECT_EQ(good.images[0]->Vendor, "Vendor");
  EXPECT_NE(capture.take().find("rapidJson: member Description not found; please fix it!\n"), std::string::npos);
}

TEST(PluginCatalogue, ALaterDuplicateReplacesTheRecordWithItsPicturesOnce) {
  const auto catalogue = read(R"({"Plugins":[
      {"Name":"d","URL":"first/","Description":"one","Contact":"","Certification":"beta","Windows":"d.so"},
      {"Name":"d","URL":"second/","Description":"two","Contact":"","Certification":"beta","Windows":"d.so"}],
    "Images":[{"Proxy":"d","Vendor":"v","Product":"p","PNG_URL":"h/a","ICNS_URL":"h/b"}]})");
  ASSERT_EQ(catalogue.size(), 1u);
  EXPECT_EQ(catalogue.at("d").Description, "two");
  EXPECT_EQ(catalogue.at("d").images.size(), 1u);
}

TEST(PluginCatalogue, WrongShapesGiveNoRecordsAndNoCrash) {
  for (const char* json : {R"({"Plugins":{"Name":"x"}})", R"({"Plugins":"none","Images":5})", "[]", "17",
                           R"({"Images":[{"Proxy":"x"}]})"}) {
    EXPECT_TRUE(read(json).empty()) << json;
  }
}

TEST(PluginCatalogue, TextIsReadUpToItsFirstNul) {
  lmr::Document document;
  EXPECT_TRUE(lmr::parseCatalogueText(std::string("{\"Plugins\":[]}\0garbage", 23), document));
}

QString lastDebugLine;
void keepDebugLine(QtMsgType, const QMessageLogContext&, const QString& message) { lastDebugLine = message; }

TEST(PluginCatalogue, UnparsableTextGivesTheDebugLine) {
  const auto previous = qInstallMessageHandler(keepDebugLine);
  lmr::Document document;
  EXPECT_FALSE(lmr::parseCatalogueText("<html>Not Found</html>", document));
  qInstallMessageHandler(previous);
  EXPECT_TRUE(lastDebugLine.startsWith("Unable to parse Json document: <html>Not Found</html> -> corrupted ("))
      << lastDebugLine.toStdString();
  EXPECT_TRUE(lastDebugLine.endsWith(")\n"));
  // Nesting deeper than the agent accepts is refused like malformed text.
  EXPECT_FALSE(lmr::parseCatalogueText(std::string(1000, '[') + std::string(1000, ']'), document));
}

}  // namespace
