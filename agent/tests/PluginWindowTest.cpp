#include "agent/src/PluginWindow.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <QEvent>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "agent/tests/DialogsFixture.h"
#include "agent/tests/HostileMeasure.h"
#include "agent/tests/SilentResolver.h"
#include "testing/stdout_capture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using dialogs_test::entriesOf;
using dialogs_test::parsedDocument;
using dialogs_test::processEventsUntil;
using lmr::PluginWindow;
using testing_support::readFile;
using testing_support::ScriptedReply;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string kPluginBytes = std::string(
    "\x7f"
    "ELF plug-in build\0\1\2\3",
    22);

class PluginWindowTest : public dialogs_test::CatalogueFixture {
 protected:
  // One plug-in entry of the catalogue.
  std::string plugin(const std::string& name, const std::string& certification, int major, int minor,
                     const std::string& file) const {
    return catalogueEntry(name, "<b>" + name + "</b> proxy", certification, major, minor, file);
  }
  std::string image(const std::string& proxy, const std::string& vendor, const std::string& product) const {
    return R"({"Proxy":")" + proxy + R"(","Vendor":")" + vendor + R"(","Product":")" + product + R"(","PNG_URL":")" +
           at("/pics/" + product + ".png") + R"(","ICNS_URL":")" + at("/pics/" + product + ".icns") + R"("})";
  }
  std::string standardCatalogue() const {
    return R"({"Plugins":[)" + plugin("outdated", "release", 1, 3, "outdated.so") + "," +
           plugin("newer", "beta", 1, 9, "newer.so") + "," + plugin("same", "experimental", 1, 3, "same.so") + "," +
           plugin("offered", "release", 2, 0, "offered.so") + "," + plugin("nofile", "beta", 1, 0, "") + "," +
           plugin("pictured", "Release", 1, 0, "pictured.so") + R"(],"Images":[)" +
           image("pictured", "Brixel", "Pavlix") + "," + image("pictured", "Brixel", "Nimbrel") + "," +
           image("pictured", "Fendral", "KV20") + "," + image("nobody", "Orphan", "Device") + "]}";
  }
  std::string engineJson() const {
    return R"({"Config":{"Plugins":[{"Name":"outdated","Major":1,"Minor":2},{"Name":"newer","Major":2,"Minor":0},
        {"Name":"same.so","Major":1,"Minor":3},{"Name":"localonly.so","Major":0,"Minor":null},"not an object",
        {"Name":"typed","Major":"1","Minor":0},{"Name":"partial","Major":1}],
        "PluginDirectory":[")" +
           userPlugins() + R"("]}})";
  }

  std::unique_ptr<PluginWindow> open(const std::string& engine) {
    auto window = std::make_unique<PluginWindow>();
    if (!engine.empty()) window->updateModel(*parsedDocument(engine));
    window->buildUi({QString::fromStdString(pictures())});
    window->show();
    return window;
  }
  std::unique_ptr<PluginWindow> openStandard() {
    server.setReply("/plugins.json", ScriptedReply::json(standardCatalogue()));
    return open(engineJson());
  }

  static QString statusOf(const PluginWindow& window, const char* name) {
    const lmr::RowDisplay* row = window.row(name);
    return row == nullptr ? QString("<no row>") : row->status()->text();
  }
  static bool headerVisible(const PluginWindow& window) {
    for (QLabel* label : window.findChildren<QLabel*>()) {
      if (label->text() == "Plugins") return label->isVisible();
    }
    return false;
  }
  // Clicks the row's download button and waits for the row's end state.
  static void downloadAndWait(PluginWindow& window, const char* name) {
    lmr::RowDisplay* row = window.row(name);
    ASSERT_NE(row, nullptr);
    ASSERT_TRUE(row->downloadButtonWidget()->isVisible());
    QTest::mouseClick(row->downloadButtonWidget(), Qt::LeftButton);
    EXPECT_TRUE(row->progressWidget()->isVisible());
    EXPECT_FALSE(row->downloadButtonWidget()->isVisible());
    EXPECT_FALSE(row->status()->isVisible());
    EXPECT_TRUE(processEventsUntil([row] { return row->status()->isVisible(); }));
    EXPECT_FALSE(row->progressWidget()->isVisible());
  }
};

TEST_F(PluginWindowTest, RowsCompareInstalledVersionsWithTheCatalogue) {
  std::unique_ptr<PluginWindow> window;
  std::string printed;
  {
    StdoutCapture capture;  // only while opening: failures below must reach the output
    window = openStandard();
    printed = capture.take();
  }
  EXPECT_NE(printed.find("not an object [Major]\n"), std::string::npos);
  EXPECT_NE(printed.find(userPlugins() + "\n"), std::string::npos);
  EXPECT_EQ(window->windowTitle(), "Plugin Manager");
  EXPECT_EQ(window->tableWidget()->width(), 800);
  // The table scrolls (see below): the window is wider by the scroll bar, so nothing scrolls sideways.
  EXPECT_EQ(window->width(), 800 + window->scroller()->verticalScrollBar()->width());
  EXPECT_FALSE(window->scroller()->horizontalScrollBar()->isVisible());
  EXPECT_EQ(window->siteStatus()->text(), "CONNECTED");
  EXPECT_EQ(window->siteStatus()->styleSheet(), "QLabel { background-color: lightgreen; color: black; }");
  EXPECT_TRUE(headerVisible(*window));

  EXPECT_EQ(window->installed().count("typed"), 0u);
  EXPECT_EQ(window->installed().count("partial"), 0u);
  EXPECT_EQ(window->installed().at("localonly"), std::make_pair(0, 0));

  EXPECT_EQ(statusOf(*window, "outdated"), "OUTDATED");
  EXPECT_EQ(window->row("outdated")->status()->styleSheet(), "QLabel { background-color: red; color: black; }");
  EXPECT_EQ(statusOf(*window, "newer"), "UP TO DATE");
  EXPECT_EQ(statusOf(*window, "same"), "UP TO DATE");
  EXPECT_EQ(window->row("same")->status()->styleSheet(), "QLabel { background-color: lightgreen; color: black; }");
  EXPECT_EQ(statusOf(*window, "nofile"), "N/A FOR YOUR\nSYSTEM");
  EXPECT_EQ(window->row("nofile")->downloadButtonWidget(), nullptr);
  EXPECT_TRUE(window->row("offered")->downloadButtonWidget()->isVisible());
  EXPECT_EQ(window->row("offered")->downloadButtonWidget()->text(), "DOWNLOAD\nNOW");
  EXPECT_FALSE(window->row("offered")->status()->isVisible());
  EXPECT_FALSE(window->row("offered")->progressWidget()->isVisible());

  const lmr::RowDisplay* local = window->row("localonly");
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->status()->text(), "UP TO DATE");
  EXPECT_EQ(local->stabilityWidget()->text(), "unknown");
  EXPECT_NE(local->stabilityWidget()->styleSheet().indexOf("background-color: gray;"), -1);
  EXPECT_EQ(local->descriptionWidget()->toPlainText(), "local unknown plugin");
  EXPECT_TRUE(local->descriptionWidget()->isReadOnly());
  EXPECT_EQ(window->row("pictured")->stabilityWidget()->text(), "unknown");
  EXPECT_EQ(window->row("same")->stabilityWidget()->text(), "experimental");

  // Rows in name order from 140; the pictured row is three pictures high.
  const int tops[] = {140, 190, 240, 290, 340, 390, 540};
  const char* names[] = {"localonly", "newer", "nofile", "offered", "outdated", "pictured", "same"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(window->row(names[i])->nameWidget()->geometry().top(), tops[i]) << names[i];
  }
  const lmr::RowDisplay* pictured = window->row("pictured");
  EXPECT_EQ(pictured->rowHeight(), 150);
  EXPECT_EQ(pictured->nameWidget()->geometry(), QRect(30, 390, 120, 150));
  ASSERT_EQ(pictured->shownImages().size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const auto& picture = pictured->shownImages()[static_cast<size_t>(i)];
    EXPECT_EQ(picture->imageLabel->geometry(), QRect(560, 390 + 50 * i, 120, 50));
    EXPECT_EQ(picture->getButton->geometry(), QRect(680, 390 + 50 * i, 100, 50));
    EXPECT_TRUE(picture->getButton->isVisible());
    EXPECT_FALSE(picture->downloadedLabel->isVisible());
  }
  EXPECT_EQ(pictured->shownImages()[1]->imageLabel->text(), "Brixel\nNimbrel");
  // Taller than the 600-pixel offscreen screen holds: the table scrolls inside the window.
  EXPECT_EQ(window->tableWidget()->height(), 620);
  EXPECT_EQ(window->maximumHeight(), 600 - 80);
  EXPECT_TRUE(window->scroller()->verticalScrollBar()->isVisible());
}

TEST_F(PluginWindowTest, WithoutCatalogueOnlyTheFixedWidgetsShow) {
  server.setReply("/plugins.json", ScriptedReply::html(404, "<html>Not Found</html>"));
  auto window = open(engineJson());
  EXPECT_EQ(window->siteStatus()->text(), "COULD NOT CONNECT TO WEBSITE");
  EXPECT_FALSE(headerVisible(*window));
  EXPECT_EQ(window->row("outdated"), nullptr);
  EXPECT_TRUE(window->updateInfoButton()->isVisible());
  // Not JSON at all: the same.
  server.setReply("/plugins.json", ScriptedReply::text(200, "<html>maintenance</html>", "text/html"));
  QTest::mouseClick(window->updateInfoButton(), Qt::LeftButton);
  EXPECT_EQ(window->siteStatus()->text(), "TRYING TO CONNECT...");
  EXPECT_EQ(window->siteStatus()->styleSheet(), "QLabel { background-color: orange; color: black; }");
  EXPECT_FALSE(headerVisible(*window));
}

// Whether the label's text, wrapped where the label wraps, fits inside its borders at its font.
::testing::AssertionResult textFits(const QLabel* label) {
  const QRect unbounded(0, 0, label->contentsRect().width(), 1 << 20);
  const QSize needed = QFontMetrics(label->font())
                           .boundingRect(unbounded, label->wordWrap() ? Qt::TextWordWrap : 0, label->text())
                           .size();
  const QRect room = label->contentsRect();
  if (needed.width() <= room.width() && needed.height() <= room.height()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << '"' << label->text().toStdString() << "\" needs " << needed.width() << "x"
                                       << needed.height() << ", has " << room.width() << "x" << room.height();
}

TEST_F(PluginWindowTest, SiteStatusShowsEachStateWholeBesideTheUpdateButton) {
  server.setReply("/plugins.json", ScriptedReply::html(404, "<html>Not Found</html>"));
  auto window = open(engineJson());
  const auto check = [&window](const char* text) {
    const QLabel* status = window->siteStatus();
    EXPECT_EQ(status->text(), text);
    EXPECT_TRUE(textFits(status));
    EXPECT_EQ(status->geometry().right(), 779) << text;
    EXPECT_EQ(status->geometry().top(), 20) << text;
    EXPECT_EQ(status->height(), 30) << text;
    EXPECT_GE(status->width(), 120) << text;
    EXPECT_GT(status->geometry().left(), window->updateInfoButton()->geometry().right()) << text;
  };
  check("COULD NOT CONNECT TO WEBSITE");
  QTest::mouseClick(window->updateInfoButton(), Qt::LeftButton);
  check("TRYING TO CONNECT...");
  server.setReply("/plugins.json", ScriptedReply::json(standardCatalogue()));
  QTest::mouseClick(window->updateInfoButton(), Qt::LeftButton);
  check("CONNECTED");
  EXPECT_EQ(window->siteStatus()->geometry(), QRect(660, 20, 120, 30));
}

TEST_F(PluginWindowTest, CellTextsShowWholeAndLongNamesAreCutAtTheEndWithTheirTextAsToolTip) {
  const std::string longName = "a_plug_in_with_a_rather_long_name";
  server.setReply("/plugins.json",
                  ScriptedReply::json(R"({"Plugins":[)" + plugin("outdated", "experimental", 1, 3, "outdated.so") +
                                      "," + plugin("nofile", "beta", 1, 0, "") + "," +
                                      plugin("same", "release", 1, 3, "same.so") + "," +
                                      plugin("offered", "release", 2, 0, "offered.so") + "," +
                                      plugin(longName, "beta", 1, 0, "long.so") + R"(],"Images":[)" +
                                      image("same", "Brixel", "Pavlix") + "," +
                                      image("same", "Fendral", "StudioInterface_KV2400_MkII") + "]}"));
  auto window = open(engineJson());
  for (const char* name : {"outdated", "nofile", "same", "localonly"}) {
    const lmr::RowDisplay* row = window->row(name);
    ASSERT_NE(row, nullptr) << name;
    EXPECT_TRUE(row->status()->isVisible()) << name;
    EXPECT_TRUE(textFits(row->status())) << name;
    EXPECT_TRUE(textFits(row->stabilityWidget())) << name;
    EXPECT_EQ(row->nameWidget()->text(), name);
    EXPECT_TRUE(row->nameWidget()->toolTip().isEmpty()) << name;
  }
  EXPECT_EQ(window->row("outdated")->stabilityWidget()->text(), "experimental");
  // The texts a row shows later: a download's failures, and its end.
  lmr::RowDisplay* offered = window->row("offered");
  for (const char* text : {"File Open\nError", "Download\nError", "RESTART LUMORA"}) {
    offered->slotUpdateText(text);
    EXPECT_EQ(offered->status()->text(), text);
    EXPECT_TRUE(textFits(offered->status()));
  }

  const QLabel* name = window->row(QString::fromStdString(longName))->nameWidget();
  EXPECT_TRUE(textFits(name));
  EXPECT_TRUE(name->text().endsWith(QChar(0x2026))) << name->text().toStdString();
  EXPECT_TRUE(QString::fromStdString(longName).startsWith(name->text().chopped(1)));
  EXPECT_EQ(name->toolTip().toStdString(), longName);

  const auto& pictures = window->row("same")->shownImages();
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_EQ(pictures[0]->imageLabel->text(), "Brixel\nPavlix");
  EXPECT_TRUE(pictures[0]->imageLabel->toolTip().isEmpty());
  const QLabel* product = pictures[1]->imageLabel;
  EXPECT_TRUE(textFits(product));
  EXPECT_TRUE(product->text().startsWith("Fendral\nStudio")) << product->text().toStdString();
  EXPECT_TRUE(product->text().endsWith(QChar(0x2026))) << product->text().toStdString();
  EXPECT_EQ(product->toolTip(), "Fendral\nStudioInterface_KV2400_MkII");
}

TEST_F(PluginWindowTest, UpdateInfoRefreshesRowsInPlaceAndAddsNewOnes) {
  auto window = openStandard();
  const lmr::RowDisplay* before = window->row("outdated");
  server.setReply("/plugins.json",
                  ScriptedReply::json(R"({"Plugins":[)" + plugin("outdated", "beta", 1, 2, "outdated.so") + "," +
                                      plugin("zadded", "release", 1, 0, "zadded.so") + "]}"));
  QTest::mouseClick(window->updateInfoButton(), Qt::LeftButton);
  EXPECT_EQ(window->siteStatus()->text(), "CONNECTED");
  EXPECT_EQ(window->row("outdated"), before);
  EXPECT_EQ(window->row("outdated")->stabilityWidget()->text(), "beta");
  // Records from the first fetch stay; the new name comes last.
  EXPECT_EQ(window->row("zadded")->nameWidget()->geometry().top(), 590);
  EXPECT_EQ(window->tableWidget()->height(), 670);
  EXPECT_TRUE(window->row("zadded")->downloadButtonWidget()->isVisible());
}

TEST_F(PluginWindowTest, GetItStoresBothPicturesInTheFirstFolder) {
  server.setReply("/pics/Pavlix.png", ScriptedReply::text(200, "png of pavlix", "image/png"));
  server.setReply("/pics/Pavlix.icns", ScriptedReply::text(200, "icns of pavlix", "image/icns"));
  server.setReply("/pics/Nimbrel.png", ScriptedReply::text(200, "png of nimbrel", "image/png"));
  server.setReply("/pics/Nimbrel.icns", ScriptedReply::html(404, "<html>no icns</html>"));
  auto window = openStandard();
  const auto& pictures_ = window->row("pictured")->shownImages();

  StdoutCapture capture;
  QTest::mouseClick(pictures_[0]->getButton, Qt::LeftButton);
  EXPECT_EQ(readFile(pictures() + "Brixel_Pavlix.png"), "png of pavlix");
  EXPECT_EQ(readFile(pictures() + "Brixel_Pavlix.icns"), "icns of pavlix");
  EXPECT_TRUE(pictures_[0]->downloadedLabel->isVisible());
  EXPECT_FALSE(pictures_[0]->getButton->isVisible());
  EXPECT_NE(capture.take().find(pictures() + "Brixel_Pavlix.png\nGetting" + server.address() + " --/pics/Pavlix.png\n"),
            std::string::npos);

  QTest::mouseClick(pictures_[1]->getButton, Qt::LeftButton);
  EXPECT_TRUE(fs::exists(pictures() + "Brixel_Nimbrel.png"));
  EXPECT_FALSE(fs::exists(pictures() + "Brixel_Nimbrel.icns"));
  EXPECT_TRUE(pictures_[1]->getButton->isVisible());
  EXPECT_FALSE(pictures_[1]->downloadedLabel->isVisible());
  EXPECT_EQ(entriesOf(pictures()),
            (std::vector<std::string>{"Brixel_Nimbrel.png", "Brixel_Pavlix.icns", "Brixel_Pavlix.png"}));

  // A new window finds the stored pictures.
  auto again = openStandard();
  EXPECT_TRUE(again->row("pictured")->shownImages()[0]->downloadedLabel->isVisible());
}

TEST_F(PluginWindowTest, DownloadWritesTheServedBytesIntoTheOwnPluginFolder) {
  server.setReply("/files/offered.so", ScriptedReply::text(200, kPluginBytes, "application/octet-stream"));
  auto window = openStandard();
  downloadAndWait(*window, "offered");
  EXPECT_EQ(statusOf(*window, "offered"), "RESTART LUMORA");
  EXPECT_EQ(readFile(userPlugins() + "/offered.so"), kPluginBytes);
  EXPECT_EQ(entriesOf(userPlugins()), std::vector<std::string>{"offered.so"});
  // The button never comes back, also not after a refresh.
  QTest::mouseClick(window->updateInfoButton(), Qt::LeftButton);
  EXPECT_FALSE(window->row("offered")->downloadButtonWidget()->isVisible());
  EXPECT_TRUE(window->row("offered")->status()->isVisible());
  EXPECT_EQ(statusOf(*window, "offered"), "RESTART LUMORA");
}

TEST_F(PluginWindowTest, FailedDownloadsShowTheirErrorAndLeaveNoFile) {
  const std::vector<std::pair<std::string, ScriptedReply>> scripts = {
      {"404 with HTML", ScriptedReply::html(404, "<html><body>404 Not Found</body></html>")},
      {"truncated", ScriptedReply::raw("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nfirst bytes")},
      {"reset", ScriptedReply::reset("HTTP/1.0 200 OK\r\n\r\nfirst bytes")},
      {"stall", ScriptedReply::stall()},
      {"endless header", ScriptedReply::endlessHeader()},
  };
  for (const auto& [what, reply] : scripts) {
    server.setReply("/files/offered.so", reply);
    auto window = openStandard();
    const auto start = std::chrono::steady_clock::now();
    downloadAndWait(*window, "offered");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << what;
    EXPECT_EQ(statusOf(*window, "offered"), "Download\nError") << what;
    EXPECT_TRUE(entriesOf(userPlugins()).empty()) << what;
    // A refresh keeps the failure visible.
    QTest::mouseClick(window->updateInfoButton(), Qt::LeftButton);
    EXPECT_EQ(statusOf(*window, "offered"), "Download\nError") << what;
  }
}

TEST_F(PluginWindowTest, WithoutAPluginFolderTheRowSaysSo) {
  server.setReply("/files/offered.so", ScriptedReply::text(200, kPluginBytes));
  server.setReply("/plugins.json", ScriptedReply::json(standardCatalogue()));
  auto window = open("");  // no engine document: no folders
  downloadAndWait(*window, "offered");
  EXPECT_EQ(statusOf(*window, "offered"), "File Open\nError");
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(PluginWindowTest, OnlyTheAgentsOwnPluginFoldersAreAccepted) {
  TempDir elsewhere;
  const std::string machinePlugins = machineData.path() + "/Brixel Technologies/Lumora/Plugins";
  auto window = std::make_unique<PluginWindow>();
  window->updateModel(*parsedDocument(R"({"Config":{"Plugins":[],"PluginDirectory":[")" + elsewhere.path() +
                                      R"(","relative/plugins",12,null,")" + machinePlugins + R"(",")" + userPlugins() +
                                      R"(/../plugins"]}})"));
  EXPECT_EQ(window->pluginFolderList(), QStringList{QString::fromStdString(userPlugins())});
  fs::create_directories(machinePlugins);
  auto second = std::make_unique<PluginWindow>();
  second->updateModel(*parsedDocument(R"({"Config":{"PluginDirectory":[")" + machinePlugins + "\"]}}"));
  EXPECT_EQ(second->pluginFolderList(), QStringList{QString::fromStdString(machinePlugins)});
  // Wrong shapes are read as nothing.
  for (const char* json :
       {R"({"Config":{"Plugins":{"Name":"x"},"PluginDirectory":"/tmp"}})", R"({"Config":5})", "[]"}) {
    PluginWindow empty;
    empty.updateModel(*parsedDocument(json));
    EXPECT_TRUE(empty.installed().empty()) << json;
    EXPECT_TRUE(empty.pluginFolderList().isEmpty()) << json;
  }
}

TEST_F(PluginWindowTest, HostileCatalogueWritesNothingOutsideItsFolders) {
  // clang-format off
  const std::string hostile = R"({"Plugins":[
      {"Name":"evil1","URL":")" + at("/files/") + R"(","Description":"","Contact":"","Certification":"beta","Linux":"../evil.so"},
      {"Name":"evil2","URL":")" + at("/files/") + R"(","Description":"","Contact":"","Certification":"beta","Linux":"/abs/x.so"},
      {"Name":"evil3","URL":")" + at("/files/") + R"(","Description":"","Contact":"","Certification":"beta","Linux":"a/b.so"},
      {"Name":"evil4","URL":")" + at("/files/") + R"(","Description":"","Contact":"","Certification":"beta","Linux":"..\\x.dll"},
      {"Name":"typed","URL":")" + at("/files/") + R"(","Description":7,"Contact":"","Certification":"beta","Linux":"t.so"},
      {"Name":"untexted","URL":")" + at("/files/") + R"(","Contact":"","Certification":"beta","Linux":"u.so"},
      {"Name":"nohost","URL":"nohost","Description":"","Contact":"","Certification":"beta","Linux":"n.so"},
      [1,2], "text",
      {"Name":"good","URL":")" + at("/files/") + R"(","Description":"","Contact":"","Certification":"beta","Linux":"good.so"},
      {"Name":"good","URL":")" + at("/files/") + R"(","Description":"again","Contact":"","Certification":"beta","Linux":"good.so"}],
    "Images":[)" + image("good", "../../x", "escape") + "," + image("good", "Vendor", "../p") + "," +
                            image("good", "Brixel", "Pavlix") + "," + image("nobody", "Orphan", "Device") + "]}";
  // clang-format on
  server.setReply("/plugins.json", ScriptedReply::json(hostile));
  server.setHandler([](const testing_support::RecordedRequest&) { return ScriptedReply::text(200, "payload"); });
  const auto userRoot = entriesOf(userData.path());
  const auto companyFolder = entriesOf(userData.path() + "/Brixel Technologies");
  const auto baseFolder = entriesOf(config.baseFolder());

  auto window = open(engineJson());
  for (const char* evil : {"evil1", "evil2", "evil3", "evil4"}) {
    ASSERT_NE(window->row(evil), nullptr) << evil;
    EXPECT_EQ(statusOf(*window, evil), "N/A FOR YOUR\nSYSTEM") << evil;
    EXPECT_EQ(window->row(evil)->downloadButtonWidget(), nullptr) << evil;
  }
  for (const char* skipped : {"typed", "untexted", "nohost"}) {
    EXPECT_EQ(window->row(skipped), nullptr) << skipped;
  }
  ASSERT_NE(window->row("good"), nullptr);
  EXPECT_EQ(window->row("good")->descriptionWidget()->toPlainText(), "again");
  ASSERT_EQ(window->row("good")->shownImages().size(), 1u);
  QTest::mouseClick(window->row("good")->shownImages()[0]->getButton, Qt::LeftButton);
  downloadAndWait(*window, "good");
  EXPECT_EQ(statusOf(*window, "good"), "RESTART LUMORA");

  EXPECT_EQ(entriesOf(userPlugins()), std::vector<std::string>{"good.so"});
  EXPECT_EQ(entriesOf(pictures()), (std::vector<std::string>{"Brixel_Pavlix.icns", "Brixel_Pavlix.png"}));
  EXPECT_EQ(entriesOf(userData.path()), userRoot);
  EXPECT_EQ(entriesOf(userData.path() + "/Brixel Technologies"), companyFolder);
  EXPECT_EQ(entriesOf(config.baseFolder()), baseFolder);
  EXPECT_TRUE(entriesOf(machineData.path()).empty());
  EXPECT_FALSE(fs::exists("/abs/x.so"));
}

TEST_F(PluginWindowTest, ClosingTheWindowEndsARunningDownloadAtOnce) {
  lmr::setHttpTimeouts({1000ms, 30000ms});
  server.setReply("/files/offered.so", ScriptedReply::stall());
  auto window = openStandard();
  QTest::mouseClick(window->row("offered")->downloadButtonWidget(), Qt::LeftButton);
  ASSERT_TRUE(server.waitForRequests(2, 3000ms));  // catalogue, then the plug-in file
  const auto start = std::chrono::steady_clock::now();
  window.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  QCoreApplication::processEvents();  // signals of the ended worker find no row
  EXPECT_TRUE(entriesOf(userPlugins()).empty());
}

TEST_F(PluginWindowTest, WorkerTakesTheFirstFolderThatAcceptsTheFile) {
  server.setReply("/files/offered.so", ScriptedReply::text(200, kPluginBytes));
  TempDir unusable;
  writeFile(unusable.path() + "/file", "x");
  lmr::PluginRecord record("offered", QString::fromStdString(at("/files/")), "offered.so", "", "", 2, 1, 0, true);
  lmr::downloadWorker worker(record, {QString::fromStdString(unusable.path() + "/file/sub"),
                                      QString::fromStdString(userPlugins())});
  QSignalSpy texts(&worker, &lmr::downloadWorker::signalUpdateText);
  QSignalSpy ends(&worker, &lmr::downloadWorker::signalDownloadEnd);
  std::atomic<bool> cancel{false};
  worker.run(cancel);
  EXPECT_EQ(texts.count(), 0);
  EXPECT_EQ(ends.count(), 1);
  EXPECT_EQ(readFile(userPlugins() + "/offered.so"), kPluginBytes);

  record.Windows = "other.so";
  lmr::downloadWorker nowhere(record, {QString::fromStdString(unusable.path() + "/file/sub")});
  QSignalSpy nowhereTexts(&nowhere, &lmr::downloadWorker::signalUpdateText);
  nowhere.run(cancel);
  ASSERT_EQ(nowhereTexts.count(), 1);
  EXPECT_EQ(nowhereTexts[0][0].toString(), "File Open\nError");
}

// Markup in any text from the catalogue or the engine shows as the characters it is made of:
// rendered, an <img> would make Qt read the named file (a device that never ends).
TEST_F(PluginWindowTest, TextsFromTheNetworkShowAsPlainText) {
  const std::string markup = R"(<img src=\"missing.png\"><b>bold</b>)";
  server.setReply("/plugins.json",
                  ScriptedReply::json(R"({"Plugins":[{"Name":")" + markup + R"(","URL":")" + at("/files/") +
                                      R"(","Description":")" + markup +
                                      R"(","Contact":"","Certification":"beta",)"
                                      R"("Linux":"m.so"}],"Images":[{"Proxy":")" +
                                      markup +
                                      R"(","Vendor":"<i>V","Product":"<u>P","PNG_URL":"h/a","ICNS_URL":"h/b"}]})"));
  auto window = open(R"({"Config":{"Plugins":[{"Name":"<img src='x.png'>engine","Major":1,"Minor":0}]}})");
  const QString shown = QString::fromStdString(R"(<img src="missing.png"><b>bold</b>)");
  const lmr::RowDisplay* row = window->row(shown);
  ASSERT_NE(row, nullptr);
  // Too long for its cell: cut at the end, whole in the tool tip.
  EXPECT_EQ(row->nameWidget()->toolTip(), shown);
  EXPECT_TRUE(shown.startsWith(row->nameWidget()->text().chopped(1))) << row->nameWidget()->text().toStdString();
  EXPECT_EQ(row->descriptionWidget()->toPlainText(), shown);
  EXPECT_EQ(row->shownImages()[0]->imageLabel->text(), "<i>V\n<u>P");
  ASSERT_NE(window->row("<img src='x.png'>engine"), nullptr);
  for (QLabel* label : window->findChildren<QLabel*>()) {
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
  }
}

// Counts the paints of a label that show a given text.
class PaintWatch : public QObject {
 public:
  PaintWatch(QLabel* label, QString text) : label_(label), text_(std::move(text)) { label->installEventFilter(this); }
  std::atomic<int> paints{0};

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (object == label_ && event->type() == QEvent::Paint && label_->text() == text_) ++paints;
    return false;
  }

 private:
  QLabel* label_;
  QString text_;
};

TEST_F(PluginWindowTest, TryingToConnectIsPaintedBeforeTheFetchStarts) {
  auto window = openStandard();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  PaintWatch watch(window->siteStatus(), "TRYING TO CONNECT...");
  std::atomic<int> paintsAtRequest{-1};
  server.setReply("/plugins.json", ScriptedReply::stall());
  std::thread observer([this, &watch, &paintsAtRequest] {
    if (server.waitForRequests(2, 3000ms)) paintsAtRequest = watch.paints.load();
  });
  QTest::keyClick(window->updateInfoButton(), Qt::Key_Space);  // as a keyboard user presses it
  observer.join();
  EXPECT_GE(paintsAtRequest.load(), 1);
}

// A server that sends each byte well within the idle timeout: the catalogue and a picture
// each end at the window's deadline instead of after the whole trickle.
TEST_F(PluginWindowTest, SlowServersHoldTheWindowNoLongerThanItsDeadline) {
  lmr::setHttpTimeouts({1000ms, 30000ms, 1500ms});
  const std::string catalogue = "HTTP/1.0 200 OK\r\n\r\n" + standardCatalogue();
  server.setReply("/plugins.json", ScriptedReply::trickle(catalogue, 100ms));
  std::unique_ptr<PluginWindow> window;
  const auto slowCatalogue =
      hostile_test::measure("catalogue a byte every 100 ms", [&] { window = open(engineJson()); });
  EXPECT_EQ(window->siteStatus()->text(), "COULD NOT CONNECT TO WEBSITE");

  server.setReply("/plugins.json", ScriptedReply::json(standardCatalogue()));
  QTest::mouseClick(window->updateInfoButton(), Qt::LeftButton);
  ASSERT_EQ(window->siteStatus()->text(), "CONNECTED");
  server.setReply("/pics/Pavlix.png", ScriptedReply::trickle("HTTP/1.0 200 OK\r\n\r\n" + std::string(40, 'p'), 100ms));
  server.setReply("/pics/Pavlix.icns", ScriptedReply::trickle("HTTP/1.0 200 OK\r\n\r\n" + std::string(40, 'i'), 100ms));
  const auto slowPicture = hostile_test::measure("picture a byte every 100 ms", [&] {
    QTest::mouseClick(window->row("pictured")->shownImages()[0]->getButton, Qt::LeftButton);
  });
  EXPECT_TRUE(entriesOf(pictures()).empty());
  for (const auto& run : {slowCatalogue, slowPicture}) {
    EXPECT_LT(run.blocked, 2000ms);
  }
}

TEST_F(PluginWindowTest, ADownloadNeverReplacesAFileOrAnotherPlugin) {
  server.setHandler([](const testing_support::RecordedRequest&) { return ScriptedReply::text(200, kPluginBytes); });
  server.setReply("/plugins.json",
                  ScriptedReply::json(
                      R"({"Plugins":[)" + plugin("audio-helper", "beta", 1, 0, "vextro.so") + "," +
                      plugin("present", "beta", 1, 0, "present.so") + "," + plugin("fresh", "beta", 1, 0, "fresh.so") +
                      "," + R"({"Name":"winonly","URL":")" + at("/files/") +
                      R"(","Description":"","Contact":"","Certification":"beta","Windows":"w.dll"}]})"));
  writeFile(userPlugins() + "/vextro.so", "installed vextro");
  writeFile(userPlugins() + "/present.so", "left by hand");
  auto window = open(R"({"Config":{"Plugins":[{"Name":"vextro.so","Major":1,"Minor":4}],"PluginDirectory":[")" +
                     userPlugins() + R"("]}})");
  EXPECT_EQ(statusOf(*window, "vextro"), "UP TO DATE");
  EXPECT_EQ(statusOf(*window, "winonly"), "N/A FOR YOUR\nSYSTEM");
  for (const char* refused : {"audio-helper", "present"}) {
    downloadAndWait(*window, refused);
    EXPECT_EQ(statusOf(*window, refused), "Download\nError") << refused;
  }
  EXPECT_EQ(readFile(userPlugins() + "/vextro.so"), "installed vextro");
  EXPECT_EQ(readFile(userPlugins() + "/present.so"), "left by hand");
  EXPECT_EQ(server.requestCount(), 1u);  // the catalogue only
  downloadAndWait(*window, "fresh");
  EXPECT_EQ(readFile(userPlugins() + "/fresh.so"), kPluginBytes);
}

// 20,000 catalogue entries: a capped number of rows, made quickly, in a window no taller than
// the screen; the rows scroll.
TEST_F(PluginWindowTest, AHugeCatalogueIsCappedAndScrolls) {
  std::string entries;
  for (int i = 0; i < 20000; ++i) {
    entries += std::string(i ? "," : "") + R"({"Name":"p)" + std::to_string(100000 + i) +
               R"(","URL":"h/","Description":"",)"
               R"("Contact":"","Certification":"beta","Linux":"p.so"})";
  }
  server.setReply("/plugins.json", ScriptedReply::json(R"({"Plugins":[)" + entries + "]}"));
  // A big but honest reply: the fixture's short limits are for hostile servers, not for 2 MB on a
  // loaded machine.
  lmr::setHttpTimeouts({10s, 30s, 30s});
  std::unique_ptr<PluginWindow> window;
  const auto run = hostile_test::measure("catalogue of 20,000 entries", [&] {
    StdoutCapture quiet;
    window = open("");
  });
  ASSERT_NE(window->row("p100199"), nullptr);
  EXPECT_EQ(window->row("p100200"), nullptr);
  EXPECT_EQ(window->tableWidget()->height(), 140 + 200 * 50 + 30);
  EXPECT_LE(window->height(), window->screen()->availableGeometry().height());
  EXPECT_TRUE(window->scroller()->verticalScrollBar()->isVisible());
  window->scroller()->verticalScrollBar()->setValue(window->scroller()->verticalScrollBar()->maximum());
  const QPoint last = window->row("p100199")->nameWidget()->mapTo(window.get(), QPoint(0, 0));
  EXPECT_GT(last.y(), 0);
  EXPECT_LT(last.y() + 50, window->height() + 1);
  EXPECT_LT(run.blocked, 5000ms);
  if (hostile_test::kPeaksComparable) {
    EXPECT_LT(run.peakRiseKb, 100 * 1024);
  }
  const auto start = std::chrono::steady_clock::now();
  window.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// Behind a resolver that never answers: the catalogue fetch from a host name gives up at the
// connect timeout, and closing the window while a download still resolves does not wait.
TEST_F(PluginWindowTest, NameLookupsThatNeverEndHoldNothing) {
  hostile_test::SilentResolver resolver;
  ASSERT_TRUE(resolver.ready()) << "needs the test namespace";
  server.setReply("/plugins.json",
                  ScriptedReply::json(R"({"Plugins":[{"Name":"named","URL":"files.lumora.test/f/","Description":"",)"
                                      R"("Contact":"","Certification":"beta","Linux":"n.so"}]})"));
  std::unique_ptr<PluginWindow> window;
  {
    testing_support::ScopedEnv nameHost("LUMORA_CATALOGUE_HOST", std::string("catalogue.lumora.test"));
    const auto run = hostile_test::measure("catalogue host name never resolves", [&] { window = open(engineJson()); });
    EXPECT_LT(run.blocked, 1500ms);
    EXPECT_EQ(window->siteStatus()->text(), "COULD NOT CONNECT TO WEBSITE");
  }
  window = open(engineJson());
  ASSERT_NE(window->row("named"), nullptr);
  QTest::mouseClick(window->row("named")->downloadButtonWidget(), Qt::LeftButton);
  QTest::qWait(200);  // the download thread now waits for its lookup
  const auto closing = hostile_test::measure("closing the window while a download resolves", [&] { window.reset(); });
  EXPECT_LT(closing.blocked, 1000ms);
}

TEST_F(PluginWindowTest, AReportedFolderIsOnlyComparedNeverLookedAt) {
  // A link to the own folder is the engine's path, not one of ours: the agent does not follow it.
  TempDir elsewhere;
  fs::create_directory_symlink(userPlugins(), elsewhere.path() + "/link");
  PluginWindow window;
  window.updateModel(*parsedDocument(R"({"Config":{"PluginDirectory":[")" + elsewhere.path() + R"(/link"]}})"));
  EXPECT_TRUE(window.pluginFolderList().isEmpty());
}

TEST_F(PluginWindowTest, TableStyleSheetsAreTheDesignedOnes) {
  auto window = openStandard();
  EXPECT_EQ(window->row("offered")->stabilityWidget()->styleSheet(),
            "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;"
            "border-bottom-width: 0px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: center; "
            "background-color: lightgreen; }");
  EXPECT_EQ(window->row("same")->stabilityWidget()->styleSheet(),
            "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;"
            "border-bottom-width: 0px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: "
            "center;background-color: red; }");
  int headers = 0;
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (label->text() == "Plugins") {
      ++headers;
      EXPECT_EQ(label->geometry(), QRect(30, 80, 530, 30));
      EXPECT_EQ(label->styleSheet(),
                "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 1px;"
                "border-bottom-width: 0px;border-left-width: 1px;border-right-width: 0px;color: black;text-align: "
                "center;}");
    }
    if (label->text() == "Icons") {
      EXPECT_EQ(label->geometry(), QRect(560, 80, 220, 60));
    }
  }
  EXPECT_EQ(headers, 1);
}

}  // namespace
