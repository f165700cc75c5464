#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPixmap>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardItemModel>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent/src/Agent.h"
#include "agent/src/PluginWindow.h"
#include "agent/src/Settings.h"
#include "agent/src/Theme.h"
#include "agent/tests/DialogsFixture.h"
#include "agent/tests/ThemeTestSupport.h"

namespace {

using dialogs_test::parsedDocument;
using dialogs_test::processEventsUntil;
using testing_support::ScopedEnv;
using testing_support::ScriptedReply;
using testing_support::TempDir;
using testing_support::writeFile;

QString outputPath(const char* name) {
  QDir().mkpath(LUMORA_TEST_OUTPUT_DIR);
  return QString(LUMORA_TEST_OUTPUT_DIR) + "/" + name;
}

// Colour a little inside the widget's top-left corner, in window coordinates.
QColor cornerOf(const QImage& image, const QWidget* widget) {
  return image.pixelColor(widget->geometry().topLeft() + QPoint(3, 3));
}

// Pixels of the widget's area dark enough to be black text.
int darkPixelsOf(const QImage& image, const QWidget* widget) {
  int dark = 0;
  const QRect area = widget->geometry();
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      dark += image.pixelColor(x, y).lightness() < 80 ? 1 : 0;
    }
  }
  return dark;
}

class DialogsScreenshotTest : public dialogs_test::CatalogueFixture {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(userData.path() + "/Brixel Technologies/lumora/plugins");
    for (const char* name : {"svcwatch.so", "annwatch.so", "vextro.so", "relay_brixel.so"}) {
      writeFile(userData.path() + "/Brixel Technologies/lumora/plugins/" + name, "");
    }
    writeFile(userData.path() + "/Brixel Technologies/lumora/config.json",
              R"({"mode":4,"discovery":{"filtering":[{"hardware_id":"AA:BB:CC:DD:EE:02"}]}})");
    CatalogueFixture::SetUp();
    const auto entry = [this](const char* name, const char* level, int major, int minor, const char* file,
                              const char* description) {
      std::string text = R"({"Name":")" + std::string(name) + R"(","URL":")" + at("/files/") + R"(","Description":")" +
                         description + R"(","Contact":"c","Certification":")" + level + R"(","Major":)" +
                         std::to_string(major) + R"(,"Minor":)" + std::to_string(minor);
      return text + (file[0] ? std::string(R"(,"Linux":")") + file + "\"}" : std::string("}"));
    };
    const auto picture = [this](const char* vendor, const char* product) {
      return R"({"Proxy":"relay_brixel","Vendor":")" + std::string(vendor) + R"(","Product":")" + product +
             R"(","PNG_URL":")" + at("/p.png") + R"(","ICNS_URL":")" + at("/p.icns") + "\"}";
    };
    catalogue = ScriptedReply::json(
        R"({"Plugins":[)" + entry("vextro", "release", 1, 4, "vextro.so", "Vextro devices proxy") + "," +
        entry("annwatch", "beta", 1, 0, "annwatch.so", "SAP streams discovery") + "," +
        entry("relay_brixel", "experimental", 0, 9, "relay_brixel.so", "Brixel generic proxy") + "," +
        entry("relay_cobalt", "beta", 1, 0, "", "Brantel Cairn proxy") + "," +
        entry("relay_fendral_studio_bridge", "beta", 1, 0, "", "Fendral studio bridge") + R"(],"Images":[)" +
        picture("Brixel", "Pavlix") + "," + picture("Brixel", "Nimbrel Studio Interface") + "]}");
    writeFile(pictures() + "Brixel_Pavlix.png", "png");
    writeFile(pictures() + "Brixel_Pavlix.icns", "icns");
  }

  ScriptedReply catalogue;

  // Fifteen rows, more than the screen holds, with markup in the names and descriptions: the
  // rows scroll and the markup shows as text.
  void shootManyRows(const char* suffix) {
    std::string entries;
    for (int i = 0; i < 15; ++i) {
      entries += std::string(i ? "," : "") + R"({"Name":"<b>p)" + std::to_string(10 + i) + R"(</b>","URL":")" +
                 at("/files/") + R"(","Description":"<img src=\"/dev/zero\"> <i>rich</i>","Contact":"",)" +
                 R"("Certification":"beta","Linux":"p.so"})";
    }
    server.setReply("/plugins.json", ScriptedReply::json(R"({"Plugins":[)" + entries + "]}"));
    lmr::PluginWindow window;
    window.buildUi({QString::fromStdString(pictures())});
    window.show();
    QApplication::processEvents();
    const QImage many = window.grab().toImage();
    ASSERT_TRUE(many.save(outputPath((std::string("plugin_manager_15_rows_") + suffix + ".png").c_str())));
    EXPECT_EQ(window.tableWidget()->height(), 140 + 15 * 50 + 30);
    EXPECT_LT(window.height(), window.tableWidget()->height());
    EXPECT_TRUE(window.scroller()->verticalScrollBar()->isVisible());
    EXPECT_EQ(window.row("<b>p10</b>")->nameWidget()->text(), "<b>p10</b>");
    // The last row can be reached.
    window.scroller()->verticalScrollBar()->setValue(window.scroller()->verticalScrollBar()->maximum());
    QApplication::processEvents();
    ASSERT_TRUE(window.grab().save(outputPath((std::string("plugin_manager_15_rows_end_") + suffix + ".png").c_str())));
    const QWidget* last = window.row("<b>p24</b>")->nameWidget();
    EXPECT_LE(last->mapTo(&window, QPoint(0, last->height())).y(), window.height());
  }

  // The plug-in manager and the settings dialog as the user sees them, saved under suffix.
  void shoot(const char* suffix) {
    server.setReply("/plugins.json", catalogue);
    lmr::PluginWindow window;
    window.updateModel(*parsedDocument(R"({"Config":{"Plugins":[{"Name":"vextro.so","Major":1,"Minor":3},)"
                                       R"({"Name":"annwatch.so","Major":1,"Minor":0},)"
                                       R"({"Name":"svcwatch.so","Major":2,"Minor":1}],"PluginDirectory":[")" +
                                       userPlugins() + "\"]}}"));
    window.buildUi({QString::fromStdString(pictures())});
    window.show();
    QApplication::processEvents();
    const QImage manager = window.grab().toImage();
    ASSERT_TRUE(manager.save(outputPath((std::string("plugin_manager_") + suffix + ".png").c_str())));
    EXPECT_EQ(manager.pixelColor(5, 5), QColor(240, 240, 240));
    EXPECT_EQ(cornerOf(manager, window.row("annwatch")->status()), QColor(144, 238, 144));
    EXPECT_EQ(cornerOf(manager, window.row("vextro")->status()), QColor(255, 0, 0));
    EXPECT_EQ(cornerOf(manager, window.row("annwatch")->stabilityWidget()), QColor(255, 165, 0));
    EXPECT_EQ(cornerOf(manager, window.row("svcwatch")->stabilityWidget()), QColor(128, 128, 128));
    // Status texts are dark on their light colours in both themes.
    EXPECT_GT(darkPixelsOf(manager, window.row("annwatch")->status()), 20);
    EXPECT_GT(darkPixelsOf(manager, window.siteStatus()), 20);
    // A name too long for its cell is cut at its end and whole in the tool tip.
    EXPECT_EQ(window.row("relay_fendral_studio_bridge")->nameWidget()->toolTip(), "relay_fendral_studio_bridge");
    shootManyRows(suffix);

    shootUnreachable(suffix);

    lmr::Agent agent;
    lmr::MainWindow::Settings settings(agent, {{"eth0", "AA:BB:CC:DD:EE:01", "192.168.1.20", "255.255.255.0"},
                                               {"wlan0", "AA:BB:CC:DD:EE:02", "172.16.5.9", "255.255.0.0"}});
    settings.show();
    QApplication::processEvents();
    ASSERT_TRUE(settings.grab().save(outputPath((std::string("settings_") + suffix + ".png").c_str())));
    shootAllInterfaces(settings, suffix);
    shootOpenComboBox(settings, suffix);
  }

  // Without a catalogue: the state of the fetch shows whole, in red, beside "Update info".
  void shootUnreachable(const char* suffix) {
    server.setReply("/plugins.json", ScriptedReply::html(404, "<html>Not Found</html>"));
    lmr::PluginWindow window;
    window.buildUi({QString::fromStdString(pictures())});
    window.show();
    QApplication::processEvents();
    const QImage unreachable = window.grab().toImage();
    ASSERT_TRUE(unreachable.save(outputPath((std::string("plugin_manager_unreachable_") + suffix + ".png").c_str())));
    const QLabel* status = window.siteStatus();
    EXPECT_EQ(status->text(), "COULD NOT CONNECT TO WEBSITE");
    EXPECT_EQ(cornerOf(unreachable, status), QColor(255, 0, 0));
    EXPECT_LE(status->fontMetrics().horizontalAdvance(status->text()), status->contentsRect().width());
  }

  // "All" ticked: the interface rows are disabled, and their texts look it beside the enabled "All".
  static void shootAllInterfaces(lmr::MainWindow::Settings& settings, const char* suffix) {
    QStandardItemModel* rows = settings.discoveryItems();
    rows->item(0)->setCheckState(Qt::Checked);
    ASSERT_FALSE(rows->item(1)->isEnabled());
    QApplication::processEvents();
    const QImage drawn = settings.grab().toImage();
    ASSERT_TRUE(drawn.save(outputPath((std::string("settings_all_interfaces_") + suffix + ".png").c_str())));
    const QListView* list = nullptr;
    for (const QListView* view : settings.findChildren<QListView*>()) {
      if (view->model() == rows) list = view;
    }
    ASSERT_NE(list, nullptr);
    // The text of a row, right of its check box, against the list's background.
    const auto contrastOf = [&](int row) {
      QRect text = list->visualRect(rows->index(row, 0)).adjusted(24, 0, 0, 0);
      text.translate(list->viewport()->mapTo(&settings, QPoint(0, 0)));
      return theme_test::inkContrast(drawn, text);
    };
    const int enabled = contrastOf(0);
    EXPECT_GT(enabled, 120) << suffix;
    for (int row = 1; row < rows->rowCount(); ++row) {
      EXPECT_LT(contrastOf(row), enabled - 50) << suffix << " row " << row;
    }
  }

  // The address combo box opened over the dialog, as the screen shows both.
  static void shootOpenComboBox(lmr::MainWindow::Settings& settings, const char* suffix) {
    QComboBox* combo = settings.addressBox();
    combo->showPopup();
    QWidget* popup = combo->view()->window();
    ASSERT_TRUE(processEventsUntil([popup] { return popup->isVisible(); }));
    QImage shown = settings.grab().toImage();
    QPainter painter(&shown);
    painter.drawPixmap(popup->geometry().topLeft() - settings.geometry().topLeft(), popup->grab());
    painter.end();
    combo->hidePopup();
    ASSERT_TRUE(shown.save(outputPath((std::string("combo_open_") + suffix + ".png").c_str())));
  }
};

TEST_F(DialogsScreenshotTest, LightAndDark) {
  TempDir colours;
  const std::string colourFile = colours.path() + "/foreground";
  writeFile(colourFile, "0 0 0");
  ScopedEnv noFixedColour("LUMORA_FOREGROUND", std::nullopt);
  ScopedEnv colourSource("LUMORA_FOREGROUND_FILE", colourFile);
  QBXTheme::install(qobject_cast<QApplication*>(QCoreApplication::instance()));
  ASSERT_FALSE(QBXTheme::instance(false)->isDark());
  shoot("light");

  writeFile(colourFile, "255 255 255");
  ASSERT_TRUE(processEventsUntil([] { return QApplication::palette().color(QPalette::Window).lightness() < 128; }));
  shoot("dark");
}

}  // namespace
