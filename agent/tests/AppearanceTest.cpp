#include "platform/appearance.h"

#include <QApplication>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "agent/src/Theme.h"
#include "agent/tests/ThemeTestSupport.h"
#include "testing/temp_dir.h"

using testing_support::ScopedEnv;
using theme_test::processEventsUntil;

namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettingsInterface = "org.freedesktop.portal.Settings";

// The settings side of a desktop portal, served from its own thread as a real portal would.
class FakePortal : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  std::atomic<uint> scheme{0};
  std::atomic<int> stallMs{0};

 public slots:
  // Portals answer with the value wrapped twice.
  QDBusVariant Read(const QString& nameSpace, const QString& key) {
    if (stallMs.load() > 0) {
      QThread::msleep(static_cast<unsigned long>(stallMs.load()));
    }
    if (nameSpace != QLatin1String("org.freedesktop.appearance") || key != QLatin1String("color-scheme")) {
      return QDBusVariant(QVariant::fromValue(QDBusVariant(QString())));
    }
    return QDBusVariant(QVariant::fromValue(QDBusVariant(scheme.load())));
  }
};

// A session bus of the test's own; no other process talks on it.
class PrivateBus {
 public:
  PrivateBus() {
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (daemon_.waitForStarted(3000) &&
        processEventsUntil([this] { return daemon_.canReadLine(); }, std::chrono::milliseconds(3000))) {
      address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
  }
  ~PrivateBus() {
    daemon_.terminate();
    if (!daemon_.waitForFinished(3000)) {
      daemon_.kill();
      daemon_.waitForFinished(3000);
    }
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  [[nodiscard]] const QString& address() const { return address_; }
  [[nodiscard]] QDBusConnection connect(const QString& name) const {
    return QDBusConnection::connectToBus(address_, name);
  }

 private:
  QProcess daemon_;
  QString address_;
};

// Runs the fake portal on a thread of its own, published on the bus.
class PortalThread {
 public:
  explicit PortalThread(const PrivateBus& bus) : connection_(bus.connect(QStringLiteral("fake-portal"))) {
    portal_ = std::make_unique<FakePortal>();
    portal_->moveToThread(&thread_);
    thread_.start();
    connection_.registerObject(QString::fromLatin1(kPortalPath), portal_.get(), QDBusConnection::ExportAllSlots);
    connection_.registerService(QString::fromLatin1(kPortalService));
  }
  ~PortalThread() {
    connection_.unregisterService(QString::fromLatin1(kPortalService));
    connection_.unregisterObject(QString::fromLatin1(kPortalPath));
    thread_.quit();
    thread_.wait();
    portal_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
  }
  PortalThread(const PortalThread&) = delete;
  PortalThread& operator=(const PortalThread&) = delete;

  FakePortal& portal() { return *portal_; }

  void announce(uint scheme) {
    portal_->scheme = scheme;
    QDBusMessage signal =
        QDBusMessage::createSignal(QString::fromLatin1(kPortalPath), QString::fromLatin1(kSettingsInterface),
                                   QStringLiteral("SettingChanged"));
    signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
           << QVariant::fromValue(QDBusVariant(scheme));
    connection_.send(signal);
  }

 private:
  QDBusConnection connection_;
  QThread thread_;
  std::unique_ptr<FakePortal> portal_;
};

}  // namespace

TEST(AppearanceParse, ReadsThreeChannelsSeparatedByCommasOrBlanks) {
  QColor colour;
  EXPECT_TRUE(platform::parseRgb(QStringLiteral("255,255,255"), colour));
  EXPECT_EQ(colour, QColor(255, 255, 255));
  EXPECT_TRUE(platform::parseRgb(QStringLiteral(" 1 2\t3\n"), colour));
  EXPECT_EQ(colour, QColor(1, 2, 3));
  EXPECT_TRUE(platform::parseRgb(QStringLiteral("10, 20, 30"), colour));
  EXPECT_EQ(colour, QColor(10, 20, 30));
  for (const char* bad : {"", "1,2", "1,2,3,4", "256,0,0", "-1,0,0", "a,b,c", "0x10,0,0", "1.5,2,3"}) {
    EXPECT_FALSE(platform::parseRgb(QString::fromLatin1(bad), colour)) << bad;
  }
}

TEST(AppearanceScheme, PreferDarkMeansLightText) {
  EXPECT_EQ(platform::foregroundForColorScheme(1), QColor(255, 255, 255));
  EXPECT_EQ(platform::foregroundForColorScheme(0), QColor(0, 0, 0));
  EXPECT_EQ(platform::foregroundForColorScheme(2), QColor(0, 0, 0));
}

TEST(AppearanceSource, WithoutOverridesOrBusThePaletteColourIsUsedAtOnce) {
  ScopedEnv fixed("LUMORA_FOREGROUND", std::nullopt);
  ScopedEnv file("LUMORA_FOREGROUND_FILE", std::nullopt);
  ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  QElapsedTimer clock;
  clock.start();
  auto appearance = platform::Appearance::create(QColor(12, 34, 56));
  EXPECT_LT(clock.elapsed(), 200);
  EXPECT_EQ(appearance->sourceName(), QStringLiteral("palette"));
  EXPECT_EQ(appearance->foreground(), QColor(12, 34, 56));
}

TEST(AppearanceSource, OverridesComeFirst) {
  ScopedEnv file("LUMORA_FOREGROUND_FILE", std::string("/nonexistent/foreground"));
  {
    ScopedEnv fixed("LUMORA_FOREGROUND", std::string("1,2,3"));
    EXPECT_EQ(platform::Appearance::create(QColor())->sourceName(), QStringLiteral("env"));
  }
  ScopedEnv fixed("LUMORA_FOREGROUND", std::nullopt);
  EXPECT_EQ(platform::Appearance::create(QColor())->sourceName(), QStringLiteral("file"));
}

TEST(AppearancePortal, NoPortalOnTheBusFallsBackQuickly) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
  QElapsedTimer clock;
  clock.start();
  auto portal = platform::Appearance::createPortal(bus.connect(QStringLiteral("client-none")), 300);
  EXPECT_EQ(portal, nullptr);
  EXPECT_LT(clock.elapsed(), 1000);
  QDBusConnection::disconnectFromBus(QStringLiteral("client-none"));
}

TEST(AppearancePortal, AStalledPortalCountsAsAbsentAfterTheTimeout) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().isEmpty());
  PortalThread portal(bus);
  portal.portal().stallMs = 1500;
  QElapsedTimer clock;
  clock.start();
  auto source = platform::Appearance::createPortal(bus.connect(QStringLiteral("client-stall")), 300);
  EXPECT_EQ(source, nullptr);
  EXPECT_LT(clock.elapsed(), 1200);
  QDBusConnection::disconnectFromBus(QStringLiteral("client-stall"));
}

TEST(AppearancePortal, ReadsTheSchemeAfreshAndReportsItsChanges) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().isEmpty());
  PortalThread portal(bus);
  portal.portal().scheme = 1;
  auto source = platform::Appearance::createPortal(bus.connect(QStringLiteral("client")), 1000);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->sourceName(), QStringLiteral("portal"));
  EXPECT_EQ(source->foreground(), QColor(255, 255, 255));

  std::atomic<int> changes{0};
  source->subscribe([&changes] { changes.fetch_add(1); });
  portal.announce(0);
  ASSERT_TRUE(processEventsUntil([&changes] { return changes.load() > 0; }));
  EXPECT_EQ(source->foreground(), QColor(0, 0, 0));
  source.reset();
  QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

// The whole path on a desktop: no override, the session bus's portal decides and its signal
// switches the running theme.
TEST(AppearancePortal, TheSessionPortalDrivesTheInstalledTheme) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().isEmpty());
  PortalThread portal(bus);
  portal.portal().scheme = 1;
  ScopedEnv fixed("LUMORA_FOREGROUND", std::nullopt);
  ScopedEnv file("LUMORA_FOREGROUND_FILE", std::nullopt);
  ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.address().toStdString());
  EXPECT_EQ(platform::Appearance::create(QColor())->sourceName(), QStringLiteral("portal"));

  theme_test::ThemeReset reset;
  QBXTheme::install(qApp);
  EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(0, 0, 0));
  portal.announce(0);
  EXPECT_TRUE(processEventsUntil([] { return QApplication::palette().color(QPalette::Window) != QColor(0, 0, 0); }));
  EXPECT_TRUE(qApp->styleSheet().isEmpty());
  QBXTheme::instance(false)->slotApplicationAboutToQuit();
  QDBusConnection::disconnectFromBus(QDBusConnection::sessionBus().name());
}

#include "AppearanceTest.moc"
