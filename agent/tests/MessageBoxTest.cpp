#include "agent/src/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>

#include <functional>
#include <string>

#include "agent/src/Theme.h"
#include "agent/tests/ThemeTestSupport.h"
#include "platform/title_bar.h"
#include "testing/temp_dir.h"

using testing_support::ScopedEnv;
using theme_test::processEventsUntil;
using theme_test::screenshotPath;
using theme_test::ThemeReset;

namespace {

// Runs inspect on the message box once it is open, then presses answer.
class BoxDriver {
 public:
  BoxDriver(std::function<void(QMessageBox&)> inspect, QMessageBox::StandardButton answer)
      : inspect_(std::move(inspect)), answer_(answer) {
    QTimer::singleShot(0, [this] { poll(); });
  }
  [[nodiscard]] bool sawBox() const { return sawBox_; }

 private:
  void poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
      if (++attempts_ < 200) {
        QTimer::singleShot(10, [this] { poll(); });
      }
      return;
    }
    sawBox_ = true;
    inspect_(*box);
    if (QAbstractButton* button = box->button(answer_)) {
      button->click();
    } else {
      box->reject();
    }
  }

  std::function<void(QMessageBox&)> inspect_;
  QMessageBox::StandardButton answer_;
  bool sawBox_ = false;
  int attempts_ = 0;
};

// Collects Qt's warnings while alive.
class WarningLog {
 public:
  WarningLog() { previous_ = qInstallMessageHandler(&WarningLog::handle); }
  ~WarningLog() { qInstallMessageHandler(previous_); }
  WarningLog(const WarningLog&) = delete;
  WarningLog& operator=(const WarningLog&) = delete;
  static QStringList& lines() {
    static QStringList all;
    return all;
  }

 private:
  static void handle(QtMsgType, const QMessageLogContext&, const QString& text) { lines().append(text); }
  QtMessageHandler previous_ = nullptr;
};

class MessageBoxTest : public ::testing::Test {
 protected:
  ThemeReset reset_;
  ScopedEnv file_{"LUMORA_FOREGROUND_FILE", std::nullopt};
};

}  // namespace

TEST_F(MessageBoxTest, LightThemeShowsAPlainBoxAndReturnsTheChosenButton) {
  ScopedEnv black("LUMORA_FOREGROUND", std::string("0,0,0"));
  QBXTheme::install(qApp);
  BoxDriver driver(
      [](QMessageBox& box) {
        EXPECT_EQ(box.windowTitle(), QStringLiteral("Mode Changed"));
        EXPECT_EQ(box.text(), QStringLiteral("Mode will be set to \"Hybrid\" next time this Agent starts"));
        EXPECT_EQ(box.icon(), QMessageBox::Information);
        EXPECT_EQ(box.standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
        EXPECT_TRUE(box.isModal());
        EXPECT_FALSE(box.property(platform::kDarkTitleBarProperty).isValid());
        EXPECT_TRUE(box.styleSheet().isEmpty());
        EXPECT_TRUE(box.grab().save(screenshotPath(QStringLiteral("message_box_light.png"))));
      },
      QMessageBox::Cancel);
  const auto answer =
      lmr::showThemedMessageBox(nullptr, QStringLiteral("Mode Changed"),
                                QStringLiteral("Mode will be set to \"Hybrid\" next time this Agent starts"),
                                QMessageBox::Information, QMessageBox::Ok | QMessageBox::Cancel);
  EXPECT_TRUE(driver.sawBox());
  EXPECT_EQ(answer, QMessageBox::Cancel);
}

TEST_F(MessageBoxTest, DarkThemeGivesADarkTitleBarAndSheetWithoutParseWarnings) {
  ScopedEnv white("LUMORA_FOREGROUND", std::string("255,255,255"));
  QBXTheme::install(qApp);
  WarningLog warnings;
  WarningLog::lines().clear();
  BoxDriver driver(
      [](QMessageBox& box) {
        EXPECT_TRUE(box.property(platform::kDarkTitleBarProperty).toBool());
        EXPECT_EQ(box.styleSheet(), QStringLiteral("QMessageBox { background-color: rgb(43, 43, 43); } "
                                                   "QMessageBox QLabel { color: rgb(255, 255, 255); }"));
        const QImage image = box.grab().toImage();
        EXPECT_EQ(QColor(image.pixel(2, 2)), QColor(43, 43, 43));
        // The OK button stands out from the box: its face and edge differ from the box colour.
        const QAbstractButton* ok = box.button(QMessageBox::Ok);
        ASSERT_NE(ok, nullptr);
        const QRect face(ok->mapTo(&box, QPoint(0, 0)), ok->size());
        const QColor centre(image.pixel(face.center().x(), face.top() + 3));
        const QColor edge(image.pixel(face.center().x(), face.top()));
        EXPECT_GT(std::abs(centre.lightness() - 43), 15) << centre.name().toStdString();
        EXPECT_GT(std::abs(edge.lightness() - 43), 30) << edge.name().toStdString();
        EXPECT_TRUE(image.save(screenshotPath(QStringLiteral("message_box_dark.png"))));
      },
      QMessageBox::Ok);
  const auto answer =
      lmr::showThemedMessageBox(nullptr, QStringLiteral("Web Server Address Changed"),
                                QStringLiteral("Web Server Address will be set next time this Agent starts"),
                                QMessageBox::Information, QMessageBox::Ok);
  EXPECT_TRUE(driver.sawBox());
  EXPECT_EQ(answer, QMessageBox::Ok);
  for (const QString& line : WarningLog::lines()) {
    EXPECT_FALSE(line.contains(QStringLiteral("Could not parse stylesheet"))) << line.toStdString();
  }
}

TEST_F(MessageBoxTest, CreatesTheThemeWhenNoneIsInstalled) {
  ScopedEnv white("LUMORA_FOREGROUND", std::string("255,255,255"));
  ASSERT_EQ(QBXTheme::instance(false), nullptr);
  BoxDriver driver([](QMessageBox& box) { EXPECT_TRUE(box.property(platform::kDarkTitleBarProperty).toBool()); },
                   QMessageBox::Ok);
  lmr::showThemedMessageBox(nullptr, QStringLiteral("t"), QStringLiteral("x"), QMessageBox::Warning, QMessageBox::Ok);
  EXPECT_TRUE(driver.sawBox());
  EXPECT_NE(QBXTheme::instance(false), nullptr);
}

// Run under Xvfb with the xcb platform; elsewhere skipped.
TEST(X11TitleBar, ThemedMessageBoxCarriesTheGtkThemeVariant) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) {
    GTEST_SKIP() << "needs an X11 display";
  }
  ThemeReset reset;
  ScopedEnv file("LUMORA_FOREGROUND_FILE", std::nullopt);
  ScopedEnv white("LUMORA_FOREGROUND", std::string("255,255,255"));
  QBXTheme::install(qApp);
  auto variantOf = [](WId id) {
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-id"), QString::number(id), QStringLiteral("_GTK_THEME_VARIANT")});
    if (!xprop.waitForFinished(5000)) {
      xprop.kill();
      xprop.waitForFinished();
    }
    return QString::fromUtf8(xprop.readAllStandardOutput()).trimmed().toStdString();
  };
  BoxDriver driver(
      [&variantOf](QMessageBox& box) {
        EXPECT_EQ(variantOf(box.winId()), "_GTK_THEME_VARIANT(UTF8_STRING) = \"dark\"");
        EXPECT_TRUE(box.grab().save(screenshotPath(QStringLiteral("message_box_dark_x11.png"))));
        EXPECT_TRUE(platform::setDarkTitleBar(&box, false));
        EXPECT_EQ(variantOf(box.winId()), "_GTK_THEME_VARIANT(UTF8_STRING) = \"light\"");
      },
      QMessageBox::Ok);
  lmr::showThemedMessageBox(nullptr, QStringLiteral("Plug-ins Filtering Changed"),
                            QStringLiteral("Plug-ins filtering will be set next time this Agent starts"),
                            QMessageBox::Information, QMessageBox::Ok);
  EXPECT_TRUE(driver.sawBox());
}

TEST(X11TitleBar, OffscreenOnlyRecordsTheChoice) {
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    GTEST_SKIP() << "checked on X11 by the variant test";
  }
  QWidget window;
  EXPECT_TRUE(platform::setDarkTitleBar(&window, true));
  EXPECT_TRUE(window.property(platform::kDarkTitleBarProperty).toBool());
  EXPECT_TRUE(platform::setDarkTitleBar(&window, false));
  EXPECT_FALSE(window.property(platform::kDarkTitleBarProperty).toBool());
  EXPECT_TRUE(platform::setDarkTitleBar(nullptr, true));
}
