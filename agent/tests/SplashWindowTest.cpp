#include "agent/src/SplashWindow.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/src/Agent.h"
#include "agent/src/Version.h"
#include "agent/tests/ConfigFixture.h"

namespace {

using namespace std::chrono_literals;
using QBXSplashWindow::IWindow;

const QColor kText(240, 240, 240);
const QColor kPicture(20, 40, 80);

// The splash window on screen now, or null.
QBXSplashWindow::Instance* openSplash() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* splash = qobject_cast<QBXSplashWindow::Instance*>(widget); splash != nullptr && splash->isVisible())
      return splash;
  }
  return nullptr;
}

// Runs check on the GUI thread every 20 ms while the splash runs.
class Poller {
 public:
  explicit Poller(std::function<void()> check) {
    QObject::connect(&timer_, &QTimer::timeout, std::move(check));
    timer_.start(20);
  }

 private:
  QTimer timer_;
};

bool hasTextPixel(const QImage& image, const QRect& area) {
  const QRect clipped = area.intersected(image.rect());
  for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
    for (int x = clipped.left(); x <= clipped.right(); ++x) {
      if (image.pixelColor(x, y) == kText) return true;
    }
  }
  return false;
}

class SplashWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { lmr::dpiScale = 1.0f; }
  void TearDown() override {
    lmr::dpiScale = 1.0f;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
};

TEST_F(SplashWindowTest, RunReturnsTheWorkersValueAndPaintsItsLastMessage) {
  QPixmap picture(300, 100);
  picture.fill(kPicture);
  std::atomic<bool> posted{false};
  std::thread::id workerThread;
  QImage withC;
  QImage withA;
  QSize dialogSize;
  Poller poller([&] {
    QBXSplashWindow::Instance* splash = openSplash();
    if (splash == nullptr) return;
    dialogSize = splash->size();
    if (withA.isNull() && splash->message() == "A") withA = splash->grab().toImage();
    if (withC.isNull() && posted && splash->message() == "C") withC = splash->grab().toImage();
  });

  const int result = QBXSplashWindow::run(nullptr, QSize(600, 250), &picture, "Version 9.8.7 b6", [&](IWindow* window) {
    workerThread = std::this_thread::get_id();
    window->setMessage("A");
    std::this_thread::sleep_for(150ms);
    window->setMessage("B");
    std::this_thread::sleep_for(50ms);
    window->setMessage("C");
    posted = true;
    std::this_thread::sleep_for(300ms);
    return 42;
  });

  EXPECT_EQ(result, 42);
  EXPECT_NE(workerThread, std::this_thread::get_id());
  EXPECT_EQ(dialogSize, QSize(600, 250));
  ASSERT_FALSE(withC.isNull());
  ASSERT_FALSE(withA.isNull());
  withC.save(QString(SPLASH_SHOT_DIR) + "/splash_message_c.png");

  const int w = withC.width();
  const int h = withC.height();
  // The picture is stretched over the whole window.
  EXPECT_EQ(withC.pixelColor(w / 2, h / 3), kPicture);
  EXPECT_EQ(withC.pixelColor(w - 1, 0), kPicture);
  // Bold message at the lower left, from x = 7 and y = h - 17 on.
  const QRect messageBand(7, h - 17, 60, 17);
  EXPECT_TRUE(hasTextPixel(withC, messageBand));
  EXPECT_FALSE(hasTextPixel(withC, QRect(0, h - 17, 7, 17)));
  EXPECT_FALSE(hasTextPixel(withC, QRect(w / 2, h - 17, w / 2, 17)));
  // Version line right-aligned with a 7-pixel margin, starting 38 pixels above the bottom.
  const QRect versionBand(w / 2, h - 38, w / 2, 21);
  EXPECT_TRUE(hasTextPixel(withC, versionBand));
  EXPECT_FALSE(hasTextPixel(withC, QRect(w - 7, 0, 7, h)));
  EXPECT_FALSE(hasTextPixel(withC, QRect(0, h - 38, w / 2, 21)));
  EXPECT_FALSE(hasTextPixel(withC, QRect(0, 0, w, h - 38)));
  // Only the message band changed between "A" and "C".
  EXPECT_NE(withA.copy(messageBand), withC.copy(messageBand));
  EXPECT_EQ(withA.copy(0, 0, w, h - 18), withC.copy(0, 0, w, h - 18));
  EXPECT_EQ(withA.copy(versionBand), withC.copy(versionBand));
}

TEST_F(SplashWindowTest, MessageMatchesAReferenceRenderOfTheSameText) {
  QImage shot;
  QString version;
  Poller poller([&] {
    QBXSplashWindow::Instance* splash = openSplash();
    if (splash != nullptr && shot.isNull() && splash->message() == "Connected to LUMORA server. Please wait...")
      shot = splash->grab().toImage();
  });
  QBXSplashWindow::run(nullptr, QSize(600, 250), nullptr, "Version 1.2.3 b4", [](IWindow* window) {
    window->setMessage("Connected to LUMORA server. Please wait...");
    std::this_thread::sleep_for(250ms);
    return 0;
  });
  ASSERT_FALSE(shot.isNull());

  // The same text drawn by hand with the layout the window promises.
  QImage reference(shot.size(), shot.format());
  reference.fill(shot.pixelColor(shot.width() / 2, 5));
  {
    QPainter painter(&reference);
    painter.setPen(kText);
    QFont font = QApplication::font();
    font.setWeight(75);
    painter.setFont(font);
    painter.drawText(QRect(7, 250 - 17, 600, 250), Qt::AlignLeft, "Connected to LUMORA server. Please wait...");
    font.setWeight(50);
    painter.setFont(font);
    painter.drawText(QRect(7, 250 - 38, 600 - 14, 250), Qt::AlignRight, "Version 1.2.3 b4");
  }
  reference.save(QString(SPLASH_SHOT_DIR) + "/splash_reference.png");
  shot.save(QString(SPLASH_SHOT_DIR) + "/splash_null_pixmap.png");
  EXPECT_EQ(shot, reference);
}

TEST_F(SplashWindowTest, ScaledDialogAndVersionLine) {
  lmr::dpiScale = 1.5f;
  QImage shot;
  Poller poller([&] {
    QBXSplashWindow::Instance* splash = openSplash();
    if (splash != nullptr && shot.isNull()) shot = splash->grab().toImage();
  });
  QBXSplashWindow::run(nullptr, QSize(600, 250), nullptr, "Version 1.2.3 b4", [](IWindow*) {
    std::this_thread::sleep_for(200ms);
    return 0;
  });
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size(), QSize(900, 375));
  // Version text from top 375 - 57 = 318, right margin 10 (7 * 1.5 truncated).
  EXPECT_TRUE(hasTextPixel(shot, QRect(450, 318, 450, 375 - 318)));
  EXPECT_FALSE(hasTextPixel(shot, QRect(0, 0, 900, 318)));
  EXPECT_FALSE(hasTextPixel(shot, QRect(900 - 10, 0, 10, 375)));
}

TEST_F(SplashWindowTest, EscapeAndCloseAreIgnoredWhileTheWorkerRuns) {
  std::atomic<bool> workerDone{false};
  bool visibleAfterEscape = false;
  bool sent = false;
  Poller poller([&] {
    QBXSplashWindow::Instance* splash = openSplash();
    if (splash == nullptr || sent) return;
    sent = true;
    QTest::keyClick(splash, Qt::Key_Escape);
    splash->close();
    splash->reject();
    visibleAfterEscape = splash->isVisible();
  });
  const auto start = std::chrono::steady_clock::now();
  const int result = QBXSplashWindow::run(nullptr, QSize(600, 250), nullptr, "v", [&](IWindow* window) {
    std::this_thread::sleep_for(300ms);
    // Still safe to use: the window outlives the worker.
    window->setMessage("late");
    workerDone = true;
    return 7;
  });
  EXPECT_TRUE(sent);
  EXPECT_TRUE(visibleAfterEscape);
  EXPECT_TRUE(workerDone);
  EXPECT_EQ(result, 7);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST_F(SplashWindowTest, ManyRunsWithAnImmediateWorker) {
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(QBXSplashWindow::run(nullptr, QSize(60, 25), nullptr, "v", [i](IWindow*) { return i; }), i);
  }
}

TEST_F(SplashWindowTest, AnEmptyWorkerReturnsZeroWithoutAWindow) {
  bool shown = false;
  Poller poller([&] { shown = shown || openSplash() != nullptr; });
  EXPECT_EQ(QBXSplashWindow::run(nullptr, QSize(600, 250), nullptr, "v", QBXSplashWindow::Worker()), 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(shown);
  EXPECT_EQ(openSplash(), nullptr);
}

TEST_F(SplashWindowTest, WithAParentTheDialogStaysItsChild) {
  QWidget parent;
  EXPECT_EQ(QBXSplashWindow::run(&parent, QSize(100, 50), nullptr, "v", [](IWindow*) { return 3; }), 3);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(parent.findChildren<QBXSplashWindow::Instance*>().size(), 1);
}

}  // namespace

namespace {

// The program's own splash: the compiled picture and this program's version line.
class AgentSplashTest : public config_testing::ConfigTest {};

TEST_F(AgentSplashTest, AgentPictureAndVersionLine) {
  lmr::dpiScale = 1.0f;
  config.load();
  lmr::Agent agent;
  if (agent.splashPixmap().isNull()) GTEST_SKIP() << "built without the program's resources";
  EXPECT_EQ(agent.splashPixmap().size(), QSize(600, 250));
  const QString version = "Version " + lmr::Agent::versionText();
  EXPECT_EQ(version, "Version " LUMORA_EXPECTED_VERSION);
  QImage shot;
  Poller poller([&] {
    QBXSplashWindow::Instance* splash = openSplash();
    if (splash != nullptr && shot.isNull() && !splash->message().isEmpty()) shot = splash->grab().toImage();
  });
  QBXSplashWindow::run(nullptr, QSize(600, 250), &agent.splashPixmap(), version, [](IWindow* window) {
    window->setMessage("Slave: Looking for LUMORA Server in the network...");
    std::this_thread::sleep_for(250ms);
    return 0;
  });
  ASSERT_FALSE(shot.isNull());
  shot.save(QString(SPLASH_SHOT_DIR) + "/splash_agent.png");
  EXPECT_EQ(shot.size(), QSize(600, 250));
  EXPECT_TRUE(hasTextPixel(shot, QRect(7, 250 - 17, 300, 17)));
  EXPECT_TRUE(hasTextPixel(shot, QRect(450, 250 - 38, 143, 21)));
}

}  // namespace
