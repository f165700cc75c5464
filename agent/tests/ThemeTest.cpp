#include "agent/src/Theme.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "agent/tests/ThemeTestSupport.h"
#include "platform/title_bar.h"
#include "testing/stdout_capture.h"
#include "testing/temp_dir.h"

using testing_support::ScopedEnv;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using theme_test::darkSheetResource;
using theme_test::processEventsUntil;
using theme_test::replaceFile;
using theme_test::rewriteFile;
using theme_test::samePalette;
using theme_test::ThemeReset;

namespace {

// Selects one foreground source for a test: the fixed value, or a watched file.
class ThemeTest : public ::testing::Test {
 protected:
  // Names a file in a fresh folder as the watched foreground file; gives its path.
  QString watchForegroundFile() {
    foregroundDir_ = std::make_unique<TempDir>();
    const QString path = QString::fromStdString(foregroundDir_->path()) + QStringLiteral("/foreground");
    foregroundFile_ = std::make_unique<ScopedEnv>("LUMORA_FOREGROUND_FILE", path.toStdString());
    return path;
  }

  ThemeReset reset_;
  ScopedEnv fixed_{"LUMORA_FOREGROUND", std::nullopt};
  ScopedEnv file_{"LUMORA_FOREGROUND_FILE", std::nullopt};
  std::unique_ptr<TempDir> foregroundDir_;
  std::unique_ptr<ScopedEnv> foregroundFile_;
};

bool appIsDark() { return QApplication::palette().color(QPalette::Window) == QColor(0, 0, 0); }

class RecordingCallback : public QBXTheme::Callback {
 public:
  void themeChanged(bool dark) override {
    calls.fetch_add(1);
    lastDark = dark;
    onGuiThread = QThread::currentThread() == qApp->thread();
  }
  std::atomic<int> calls{0};
  std::atomic<bool> lastDark{false};
  std::atomic<bool> onGuiThread{false};
};

}  // namespace

TEST(ThemeBrightness, WeighsGreenMostAndNeedsMoreThan1024) {
  EXPECT_TRUE(QBXTheme::isDarkForeground(QColor(255, 255, 255)));  // 2040
  EXPECT_FALSE(QBXTheme::isDarkForeground(QColor(0, 0, 0)));       // 0
  EXPECT_FALSE(QBXTheme::isDarkForeground(QColor(100, 150, 30)));  // 980
  EXPECT_TRUE(QBXTheme::isDarkForeground(QColor(150, 150, 150)));  // 1200
  EXPECT_FALSE(QBXTheme::isDarkForeground(QColor(0, 204, 4)));     // exactly 1024
  EXPECT_TRUE(QBXTheme::isDarkForeground(QColor(0, 204, 5)));      // 1025
  EXPECT_FALSE(QBXTheme::isDarkForeground(QColor(255, 0, 255)));   // 765: red and blue count less
}

TEST_F(ThemeTest, LightForegroundInstallsTheDarkPaletteAndSheet) {
  ScopedEnv white("LUMORA_FOREGROUND", std::string("255,255,255"));
  QBXTheme::install(qApp);
  ASSERT_NE(QBXTheme::instance(false), nullptr);
  EXPECT_TRUE(QBXTheme::instance(false)->isDark());

  const QPalette palette = QApplication::palette();
  for (int group = 0; group < QPalette::NColorGroups; ++group) {
    const auto g = static_cast<QPalette::ColorGroup>(group);
    // Disabled texts are grey: white would look enabled.
    const QColor text = g == QPalette::Disabled ? QColor(128, 128, 128) : QColor(Qt::white);
    EXPECT_EQ(palette.color(g, QPalette::Window), QColor(0, 0, 0));
    EXPECT_EQ(palette.color(g, QPalette::WindowText), text);
    EXPECT_EQ(palette.color(g, QPalette::Base), QColor(25, 25, 25));
    EXPECT_EQ(palette.color(g, QPalette::AlternateBase), QColor(50, 50, 50));
    EXPECT_EQ(palette.color(g, QPalette::ToolTipBase), QColor(Qt::black));
    EXPECT_EQ(palette.color(g, QPalette::ToolTipText), QColor(Qt::white));
    EXPECT_EQ(palette.color(g, QPalette::Text), text);
    EXPECT_EQ(palette.color(g, QPalette::Button), QColor(50, 50, 50));
    EXPECT_EQ(palette.color(g, QPalette::ButtonText), text);
    EXPECT_EQ(palette.color(g, QPalette::BrightText), QColor(Qt::red));
    EXPECT_EQ(palette.color(g, QPalette::Link), QColor(42, 130, 218));
    EXPECT_EQ(palette.color(g, QPalette::Highlight), QColor(42, 130, 218));
    EXPECT_EQ(palette.color(g, QPalette::HighlightedText), QColor(Qt::black));
  }
  // Roles the table leaves out keep the palette the application started with.
  const QPalette* light = QBXTheme::instance(false)->lightPalette();
  ASSERT_NE(light, nullptr);
  EXPECT_EQ(palette.color(QPalette::Mid), light->color(QPalette::Mid));
  EXPECT_EQ(palette.color(QPalette::Shadow), light->color(QPalette::Shadow));

  const QString sheet = darkSheetResource();
  EXPECT_GT(sheet.size(), 4000);
  EXPECT_EQ(qApp->styleSheet(), sheet);
  EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("QPushButton:hover")));

  // The sheet really draws: a button's face is #373737 away from its text and corners.
  QPushButton button(QStringLiteral("OK"));
  button.resize(120, 40);
  const QImage face = button.grab().toImage();
  EXPECT_EQ(QColor(face.pixel(10, 20)), QColor(55, 55, 55));
  EXPECT_EQ(QColor(face.pixel(110, 20)), QColor(55, 55, 55));
  EXPECT_EQ(QColor(face.pixel(60, 4)), QColor(55, 55, 55));
}

TEST_F(ThemeTest, DarkForegroundKeepsThePaletteAndSetsTheLightSheet) {
  const QPalette before = QApplication::palette();
  ScopedEnv black("LUMORA_FOREGROUND", std::string("0,0,0"));
  QBXTheme::install(qApp);
  EXPECT_FALSE(QBXTheme::instance(false)->isDark());
  EXPECT_TRUE(samePalette(QApplication::palette(), before));
  // The light sheet is a selector list Qt cannot parse: no sheet is set, and Qt has nothing to warn of.
  EXPECT_TRUE(qApp->styleSheet().isEmpty()) << qApp->styleSheet().toStdString();
}

namespace {
QStringList warnings;
void recordWarning(QtMsgType, const QMessageLogContext&, const QString& message) { warnings << message; }
}  // namespace

TEST_F(ThemeTest, NeitherSheetMakesQtWarnWhenWidgetsArePolished) {
  warnings.clear();
  const QtMessageHandler previous = qInstallMessageHandler(recordWarning);
  for (const char* foreground : {"0,0,0", "255,255,255"}) {
    ScopedEnv colour("LUMORA_FOREGROUND", std::string(foreground));
    QBXTheme::install(qApp);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QPushButton(QStringLiteral("Ok")));
    layout->addWidget(new QLineEdit());
    window.show();
    QCoreApplication::processEvents();
    window.grab();
    QBXTheme::instance(false)->slotApplicationAboutToQuit();
  }
  qInstallMessageHandler(previous);
  EXPECT_TRUE(warnings.filter(QStringLiteral("Could not parse")).isEmpty())
      << warnings.join(QLatin1Char('\n')).toStdString();
}

TEST_F(ThemeTest, FollowsTheForegroundFileBackToTheSavedPaletteExactly) {
  const QString path = watchForegroundFile();
  replaceFile(path, "0 0 0\n");
  const QPalette before = QApplication::palette();
  QBXTheme::install(qApp);
  ASSERT_FALSE(appIsDark());
  const QPalette saved = *QBXTheme::instance(false)->lightPalette();
  EXPECT_TRUE(samePalette(saved, before));

  // A rename replaces the watched file; the new one must be watched again.
  replaceFile(path, "255 255 255\n");
  ASSERT_TRUE(processEventsUntil(appIsDark));
  EXPECT_EQ(qApp->styleSheet(), darkSheetResource());

  replaceFile(path, "0 0 0\n");
  ASSERT_TRUE(processEventsUntil([] { return !appIsDark(); }));
  EXPECT_TRUE(samePalette(QApplication::palette(), saved));
  EXPECT_TRUE(qApp->styleSheet().isEmpty());

  // Written in place this time.
  rewriteFile(path, "255 255 255\n");
  EXPECT_TRUE(processEventsUntil(appIsDark));
}

TEST_F(ThemeTest, FileCreatedLaterIsSeenAndAMissingFileCountsAsLightWithOneWarning) {
  const QString path = watchForegroundFile();
  std::string output;
  {
    StdoutCapture capture;
    QBXTheme::install(qApp);
    EXPECT_FALSE(QBXTheme::instance(false)->isDark());
    EXPECT_FALSE(QBXTheme::instance(false)->isDark());
    output = capture.take();
  }
  EXPECT_FALSE(appIsDark());
  size_t warnings = 0;
  for (size_t at = output.find("Desktop colour unavailable"); at != std::string::npos;
       at = output.find("Desktop colour unavailable", at + 1)) {
    ++warnings;
  }
  EXPECT_EQ(warnings, 1U) << output;

  replaceFile(path, "255 255 255");
  EXPECT_TRUE(processEventsUntil(appIsDark));
}

TEST_F(ThemeTest, MalformedForegroundCountsAsLight) {
  ScopedEnv bad("LUMORA_FOREGROUND", std::string("white"));
  std::string output;
  {
    StdoutCapture capture;
    QBXTheme::install(qApp);
    EXPECT_FALSE(QBXTheme::instance(false)->isDark());
    output = capture.take();
  }
  EXPECT_FALSE(appIsDark());
  EXPECT_NE(output.find("LUMORA_FOREGROUND=\"white\""), std::string::npos) << output;
}

TEST_F(ThemeTest, ChangeSignalFromAnotherThreadIsHandledOnTheGuiThread) {
  // A fixed source never announces changes itself: only the signal below does.
  ScopedEnv white("LUMORA_FOREGROUND", std::string("255,255,255"));
  QBXTheme::install(qApp);
  QBXTheme* theme = QBXTheme::instance(false);
  QApplication::setPalette(*theme->lightPalette());
  ASSERT_FALSE(appIsDark());
  RecordingCallback callback;
  theme->addThemeCallback(&callback);

  std::thread emitter([theme] { emit theme->signalThemeChanged(); });
  emitter.join();
  EXPECT_EQ(callback.calls.load(), 0) << "the slot ran on the emitting thread";
  EXPECT_FALSE(appIsDark());
  ASSERT_TRUE(processEventsUntil([&callback] { return callback.calls.load() > 0; }));
  EXPECT_TRUE(appIsDark());
  EXPECT_TRUE(callback.lastDark.load());
  EXPECT_TRUE(callback.onGuiThread.load());
}

TEST_F(ThemeTest, ThemedWindowsGetPaletteLinksTitleBarAndSheetUntilDestroyed) {
  const QString path = watchForegroundFile();
  replaceFile(path, "0 0 0");
  QBXTheme::install(qApp);
  QBXTheme* theme = QBXTheme::instance(false);

  auto window = std::make_unique<QWidget>();
  auto* layout = new QVBoxLayout(window.get());
  auto* label = new QLabel(QStringLiteral("<a href=\"x\">x</a>"));
  layout->addWidget(label);
  theme->addThemedWindow(window.get());
  RecordingCallback callback;
  theme->addThemeCallback(&callback);

  replaceFile(path, "255 255 255");
  ASSERT_TRUE(processEventsUntil([&callback] { return callback.calls.load() > 0; }));
  EXPECT_TRUE(window->property(platform::kDarkTitleBarProperty).toBool());
  EXPECT_EQ(window->palette().color(QPalette::Window), QColor(0, 0, 0));
  EXPECT_EQ(label->palette().color(QPalette::Window), QColor(0, 0, 0));
  EXPECT_TRUE(label->text().contains(QStringLiteral("style=\"color: rgb(42, 130, 218);\"")))
      << label->text().toStdString();
  EXPECT_EQ(window->styleSheet(), darkSheetResource());

  theme->resetQLabelLink(label);
  EXPECT_EQ(label->text().count(QStringLiteral("style=")), 2);

  // A destroyed window leaves the set; the next change must not touch it.
  window.reset();
  const int calls = callback.calls.load();
  replaceFile(path, "0 0 0");
  ASSERT_TRUE(processEventsUntil([&callback, calls] { return callback.calls.load() > calls; }));
  EXPECT_FALSE(callback.lastDark.load());
}

TEST_F(ThemeTest, AboutToQuitEndsTheThemeAndItsSubscription) {
  const QString path = watchForegroundFile();
  replaceFile(path, "0 0 0");
  QBXTheme::install(qApp);
  ASSERT_NE(QBXTheme::instance(false), nullptr);

  ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
  EXPECT_EQ(QBXTheme::instance(false), nullptr);

  // A change after the end reaches nothing.
  replaceFile(path, "255 255 255");
  QDeadlineTimer settle(300);
  while (!settle.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  EXPECT_FALSE(appIsDark());

  // Created again on demand (a themed message box does this), but not installed.
  QBXTheme* again = QBXTheme::instance(true);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->isDark());
  EXPECT_EQ(again->lightPalette(), nullptr);
  again->slotThemeChanged();  // nothing to switch between: harmless
  EXPECT_FALSE(appIsDark());
}

TEST_F(ThemeTest, InstallingTwiceSubscribesOnce) {
  const QString path = watchForegroundFile();
  replaceFile(path, "0 0 0");
  QBXTheme::install(qApp);
  QBXTheme::install(qApp);
  QBXTheme* theme = QBXTheme::instance(false);
  RecordingCallback callback;
  theme->addThemeCallback(&callback);
  emit theme->signalThemeChanged();
  QCoreApplication::processEvents();
  EXPECT_EQ(callback.calls.load(), 1);
}

TEST_F(ThemeTest, LinkStyledTextMarksEveryLinkTag) {
  ScopedEnv black("LUMORA_FOREGROUND", std::string("0,0,0"));
  QBXTheme* theme = QBXTheme::instance(true);
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"<a href=\"a\">one</a> and <a href=\"b\">two</a>",
       "<a href=\"a\" style=\"color: rgb(0, 0, 255);\">one</a> and <a href=\"b\" style=\"color: rgb(0, 0, "
       "255);\">two</a>"},
      {"no links here", "no links here"},
      {"", ""},
      {"<A HREF=\"x\">upper case is not a link tag</A>", "<A HREF=\"x\">upper case is not a link tag</A>"},
      {"<a>x</a> <a href=\"y\"", "<a style=\"color: rgb(0, 0, 255);\">x</a> <a href=\"y\""},
      {"<abbr>x</abbr>", "<abbr style=\"color: rgb(0, 0, 255);\">x</abbr>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(theme->linkStyledText(QString::fromUtf8(c.text)).toStdString(), c.expected) << c.text;
  }
  // Applied twice, a tag gets a second attribute.
  EXPECT_EQ(theme->linkStyledText(theme->linkStyledText(QStringLiteral("<a>x</a>"))).toStdString(),
            "<a style=\"color: rgb(0, 0, 255);\" style=\"color: rgb(0, 0, 255);\">x</a>");
}

TEST_F(ThemeTest, LinkStyledTextUsesTheDarkLinkColourWhenDark) {
  ScopedEnv white("LUMORA_FOREGROUND", std::string("255,255,255"));
  QBXTheme* theme = QBXTheme::instance(true);
  EXPECT_EQ(theme->linkStyledText(QStringLiteral("<a href=\"x\">x</a>")).toStdString(),
            "<a href=\"x\" style=\"color: rgb(42, 130, 218);\">x</a>");
}

// A disabled entry or label must not look like an enabled one, in either theme.
TEST_F(ThemeTest, DisabledMenuEntriesAndLabelsAreDimmerThanEnabledOnes) {
  for (const char* foreground : {"0,0,0", "255,255,255"}) {
    ScopedEnv colour("LUMORA_FOREGROUND", std::string(foreground));
    QBXTheme::install(qApp);
    using theme_test::inkContrast;
    QMenu menu;
    QAction* disabled = menu.addAction(QStringLiteral("Open Web App"));
    disabled->setEnabled(false);
    QAction* enabled = menu.addAction(QStringLiteral("Settings..."));
    const QImage drawn = menu.grab().toImage();
    const int dimmed = inkContrast(drawn, menu.actionGeometry(disabled));
    const int full = inkContrast(drawn, menu.actionGeometry(enabled));
    EXPECT_GT(full, 120) << foreground;
    EXPECT_LT(dimmed, full - 50) << foreground << ": disabled " << dimmed << ", enabled " << full;

    QWidget panel;
    auto* layout = new QVBoxLayout(&panel);
    auto* on = new QLabel(QStringLiteral("Discovery Filter:"));
    auto* off = new QLabel(QStringLiteral("Discovery Filter:"));
    off->setEnabled(false);
    layout->addWidget(on);
    layout->addWidget(off);
    const QImage labels = panel.grab().toImage();
    EXPECT_LT(inkContrast(labels, off->geometry()), inkContrast(labels, on->geometry()) - 50) << foreground;
    QBXTheme::instance(false)->slotApplicationAboutToQuit();
  }
}

// Every image the dark sheet names is among the resources.
TEST(ThemeResources, EveryImageTheDarkSheetNamesIsCompiledIn) {
  const QString sheet = darkSheetResource();
  const QRegularExpression url(QStringLiteral("url\\(\"?(:/[^\")]+)\"?\\)"));
  int named = 0;
  for (auto match = url.globalMatch(sheet); match.hasNext();) {
    const QString path = match.next().captured(1);
    ++named;
    const QImage image(path);
    EXPECT_FALSE(image.isNull()) << path.toStdString();
    EXPECT_TRUE(image.hasAlphaChannel()) << path.toStdString();
  }
  EXPECT_GE(named, 9);
}

// In the dark theme a combo box shows its drop-down arrow and a scroll bar its arrow buttons,
// bright on their dark faces.
TEST_F(ThemeTest, DarkComboBoxesAndScrollBarsShowTheirArrows) {
  ScopedEnv white("LUMORA_FOREGROUND", std::string("255,255,255"));
  QBXTheme::install(qApp);
  QComboBox combo;
  combo.addItems({QStringLiteral("Auto"), QStringLiteral("192.168.1.20")});
  combo.resize(160, 30);
  const QImage comboImage = combo.grab().toImage();
  QStyleOptionComboBox comboOption;
  comboOption.initFrom(&combo);
  const QRect arrow =
      combo.style()->subControlRect(QStyle::CC_ComboBox, &comboOption, QStyle::SC_ComboBoxArrow, &combo);
  ASSERT_TRUE(arrow.isValid());
  EXPECT_GT(arrow.left(), 100);
  EXPECT_GT(theme_test::inkContrast(comboImage, arrow), 100);

  // The sheet keeps 16 pixels at each end of a bar for its arrow buttons.
  for (const Qt::Orientation orientation : {Qt::Horizontal, Qt::Vertical}) {
    QScrollBar bar(orientation);
    bar.setRange(0, 100);
    const bool horizontal = orientation == Qt::Horizontal;
    bar.resize(horizontal ? QSize(200, 16) : QSize(16, 200));
    const QImage barImage = bar.grab().toImage();
    const QRect start(0, 0, 16, 16);
    const QRect end = horizontal ? QRect(184, 0, 16, 16) : QRect(0, 184, 16, 16);
    EXPECT_GT(theme_test::inkContrast(barImage, start), 120) << (horizontal ? "left" : "top");
    EXPECT_GT(theme_test::inkContrast(barImage, end), 120) << (horizontal ? "right" : "bottom");
  }
}

TEST(ThemeResources, TheThreeAliasesAreCompiledIn) {
  QFile sheet(QString::fromLatin1(QBXTheme::kDarkStyleSheetResource));
  ASSERT_TRUE(sheet.open(QIODevice::ReadOnly));
  const QByteArray text = sheet.readAll();
  EXPECT_GT(text.size(), 4000);
  QFile source(QStringLiteral(LUMORA_QSS_FILE));
  ASSERT_TRUE(source.open(QIODevice::ReadOnly));
  EXPECT_EQ(text, source.readAll());
  EXPECT_TRUE(text.contains("QComboBox::down-arrow"));
  EXPECT_FALSE(text.contains("qss_icons")) << "the overridden arrow rule is left out";

  const QImage splash(QStringLiteral(":/splash_screen"));
  EXPECT_EQ(splash.size(), QSize(600, 250));
  // The band under the status and version lines is dark and plain for their rgb(240, 240, 240).
  for (int y = 210; y < 250; y += 3) {
    for (int x = 0; x < 600; x += 7) {
      const QColor pixel(splash.pixel(x, y));
      ASSERT_LT(pixel.lightness(), 40) << x << "," << y;
    }
  }
  const QImage icon(QStringLiteral(":/app_default"));
  EXPECT_FALSE(icon.isNull());
  EXPECT_EQ(icon.width(), icon.height());
  EXPECT_TRUE(icon.hasAlphaChannel());

  QProcess rcc;
  rcc.start(QStringLiteral(LUMORA_RCC), {QStringLiteral("--list-mapping"), QStringLiteral(LUMORA_QRC_FILE)});
  ASSERT_TRUE(rcc.waitForFinished(10000));
  const QString mapping = QString::fromUtf8(rcc.readAllStandardOutput());
  for (const char* alias : {":/app_default\t", ":/splash_screen\t", ":/bx_dark_theme\t"}) {
    EXPECT_TRUE(mapping.contains(QString::fromLatin1(alias))) << alias << "\n" << mapping.toStdString();
  }
}

// What the user sees of both themes: one panel of the widgets the sheets style.
TEST_F(ThemeTest, ScreenshotsOfTheWidgetsInBothThemes) {
  for (const bool dark : {false, true}) {
    ScopedEnv colour("LUMORA_FOREGROUND", std::string(dark ? "255,255,255" : "0,0,0"));
    QBXTheme::install(qApp);
    QWidget panel;
    auto* layout = new QVBoxLayout(&panel);
    auto* menuBar = new QMenuBar;
    menuBar->addMenu(QStringLiteral("&File"));
    menuBar->addMenu(QStringLiteral("&Help"));
    layout->setMenuBar(menuBar);
    layout->addWidget(new QLabel(QBXTheme::instance(false)->linkStyledText(
        QStringLiteral("Catalogue: <a href=\"https://example.invalid/\">plug-ins</a>"))));
    auto* edit = new QLineEdit(QStringLiteral("192.168.1.20"));
    layout->addWidget(edit);
    auto* disabled = new QLineEdit(QStringLiteral("disabled"));
    disabled->setEnabled(false);
    layout->addWidget(disabled);
    auto* combo = new QComboBox;
    combo->addItems({QStringLiteral("Auto"), QStringLiteral("127.0.0.1")});
    layout->addWidget(combo);
    auto* check = new QCheckBox(QStringLiteral("Enabled"));
    check->setChecked(true);
    layout->addWidget(check);
    auto* scroll = new QScrollBar(Qt::Horizontal);
    layout->addWidget(scroll);
    layout->addWidget(new QPushButton(QStringLiteral("OK")));
    panel.resize(320, 300);
    const QImage image = panel.grab().toImage();
    EXPECT_TRUE(image.save(
        theme_test::screenshotPath(dark ? QStringLiteral("theme_dark.png") : QStringLiteral("theme_light.png"))));
    EXPECT_EQ(QColor(image.pixel(2, image.height() / 2)) == QColor(0, 0, 0), dark);
    QBXTheme::instance(false)->slotApplicationAboutToQuit();
  }
}
