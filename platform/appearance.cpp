#include "platform/appearance.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QRegularExpression>
#include <QStringList>

#include <utility>

#include "log/console_log.h"

namespace platform {
namespace {

constexpr const char* kForegroundVariable = "LUMORA_FOREGROUND";
constexpr const char* kForegroundFileVariable = "LUMORA_FOREGROUND_FILE";
constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kPortalSettings = "org.freedesktop.portal.Settings";
constexpr const char* kAppearanceNamespace = "org.freedesktop.appearance";
constexpr const char* kColorSchemeKey = "color-scheme";
constexpr uint kPreferDark = 1;
// A colour file is a few characters; more is not a colour.
constexpr qint64 kMaxColourFileBytes = 64;

// Logs a failing source once until it reads well again; a failure reads as black (light).
class FailureLog {
 public:
  QColor fail(const QString& what) {
    if (!logged_) {
      logged_ = true;
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Desktop colour unavailable (%s); using the light theme\n",
               what.toLocal8Bit().constData());
    }
    return QColor(0, 0, 0);
  }
  void succeeded() { logged_ = false; }

 private:
  bool logged_ = false;
};

class EnvAppearance final : public Appearance {
 public:
  explicit EnvAppearance(QString text) : text_(std::move(text)) {}

  QColor foreground() override {
    QColor colour;
    if (!parseRgb(text_, colour)) {
      return failures_.fail(QString::fromLatin1("%1=\"%2\" is not \"r,g,b\"").arg(kForegroundVariable, text_));
    }
    failures_.succeeded();
    return colour;
  }
  QString sourceName() const override { return QStringLiteral("env"); }

 private:
  QString text_;
  FailureLog failures_;
};

class FileAppearance final : public Appearance {
 public:
  explicit FileAppearance(QString path) : path_(QFileInfo(path).absoluteFilePath()) {
    // The folder is watched as well: an editor or an atomic rename replaces the file, which
    // ends its watch, and a file created later must still be seen.
    watcher_.addPath(QFileInfo(path_).absolutePath());
    watchFile();
    QObject::connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this](const QString&) {
      watchFile();
      notifyChanged();
    });
    QObject::connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this](const QString&) {
      if (watchFile()) {
        notifyChanged();
      }
    });
  }

  QColor foreground() override {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
      return failures_.fail(QString::fromLatin1("cannot read %1: %2").arg(path_, file.errorString()));
    }
    const QString text = QString::fromUtf8(file.read(kMaxColourFileBytes));
    QColor colour;
    if (!parseRgb(text, colour)) {
      return failures_.fail(QString::fromLatin1("%1 does not hold \"r g b\"").arg(path_));
    }
    failures_.succeeded();
    return colour;
  }
  QString sourceName() const override { return QStringLiteral("file"); }

 private:
  // Adds the file's watch when the file exists and is not watched; true when added.
  bool watchFile() {
    if (watcher_.files().contains(path_) || !QFileInfo::exists(path_)) {
      return false;
    }
    return watcher_.addPath(path_);
  }

  QString path_;
  QFileSystemWatcher watcher_;
  FailureLog failures_;
};

// The desktop portal's "color-scheme" setting; the portal's own signal reports changes.
class PortalAppearance final : public Appearance {
  Q_OBJECT

 public:
  PortalAppearance(const QDBusConnection& bus, int timeoutMs) : bus_(bus), timeoutMs_(timeoutMs) {}

  // Reads the scheme; false when the portal gave no usable answer in time.
  bool readScheme(uint& scheme, QString& error) const {
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kPortalService), QString::fromLatin1(kPortalPath),
                                       QString::fromLatin1(kPortalSettings), QStringLiteral("Read"));
    call << QString::fromLatin1(kAppearanceNamespace) << QString::fromLatin1(kColorSchemeKey);
    const QDBusMessage reply = bus_.call(call, QDBus::Block, timeoutMs_);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      error = reply.errorMessage().isEmpty() ? QStringLiteral("no reply") : reply.errorMessage();
      return false;
    }
    return schemeFromVariant(reply.arguments().constFirst(), scheme, error);
  }

  bool listen() {
    return bus_.connect(QString::fromLatin1(kPortalService), QString::fromLatin1(kPortalPath),
                        QString::fromLatin1(kPortalSettings), QStringLiteral("SettingChanged"), this,
                        SLOT(slotSettingChanged(QString, QString, QDBusVariant)));
  }

  QColor foreground() override {
    uint scheme = 0;
    QString error;
    if (!readScheme(scheme, error)) {
      return failures_.fail(QStringLiteral("portal: ") + error);
    }
    failures_.succeeded();
    return foregroundForColorScheme(scheme);
  }
  QString sourceName() const override { return QStringLiteral("portal"); }

 private slots:
  void slotSettingChanged(const QString& nameSpace, const QString& key, const QDBusVariant&) {
    if (nameSpace == QLatin1String(kAppearanceNamespace) && key == QLatin1String(kColorSchemeKey)) {
      notifyChanged();
    }
  }

 private:
  // Portals wrap the value in one or two variants.
  static bool schemeFromVariant(QVariant value, uint& scheme, QString& error) {
    for (int depth = 0; depth < 4 && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth) {
      value = value.value<QDBusVariant>().variant();
    }
    bool ok = false;
    scheme = value.toUInt(&ok);
    if (!ok) {
      error = QStringLiteral("color-scheme is not a number");
    }
    return ok;
  }

  QDBusConnection bus_;
  int timeoutMs_;
  FailureLog failures_;
};

class PaletteAppearance final : public Appearance {
 public:
  explicit PaletteAppearance(const QColor& colour) : colour_(colour) {}
  QColor foreground() override { return colour_; }
  QString sourceName() const override { return QStringLiteral("palette"); }

 private:
  QColor colour_;
};

// A session bus exists: without one, libdbus would try to auto-launch a daemon.
bool sessionBusConfigured() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
    return true;
  }
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath(QStringLiteral("bus")));
}

}  // namespace

bool parseRgb(const QString& text, QColor& colour) {
  static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
  const QStringList parts = text.trimmed().split(separators, Qt::SkipEmptyParts);
  if (parts.size() != 3) {
    return false;
  }
  int channels[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    channels[i] = parts[i].toInt(&ok, 10);
    if (!ok || channels[i] < 0 || channels[i] > 255) {
      return false;
    }
  }
  colour = QColor(channels[0], channels[1], channels[2]);
  return true;
}

QColor foregroundForColorScheme(uint scheme) { return scheme == kPreferDark ? QColor(255, 255, 255) : QColor(0, 0, 0); }

void Appearance::subscribe(std::function<void()> handler) { handler_ = std::move(handler); }

void Appearance::notifyChanged() {
  if (handler_) {
    handler_();
  }
}

std::unique_ptr<Appearance> Appearance::createPortal(const QDBusConnection& bus, int timeoutMs) {
  if (!bus.isConnected()) {
    return nullptr;
  }
  auto portal = std::make_unique<PortalAppearance>(bus, timeoutMs);
  uint scheme = 0;
  QString error;
  if (!portal->readScheme(scheme, error)) {
    return nullptr;
  }
  portal->listen();
  return portal;
}

std::unique_ptr<Appearance> Appearance::create(const QColor& fallback) {
  const QString fixed = qEnvironmentVariable(kForegroundVariable);
  if (!fixed.isEmpty()) {
    return std::make_unique<EnvAppearance>(fixed);
  }
  const QString file = qEnvironmentVariable(kForegroundFileVariable);
  if (!file.isEmpty()) {
    return std::make_unique<FileAppearance>(file);
  }
  if (sessionBusConfigured()) {
    if (auto portal = createPortal(QDBusConnection::sessionBus(), kPortalTimeoutMs)) {
      return portal;
    }
  }
  return std::make_unique<PaletteAppearance>(fallback);
}

}  // namespace platform

#include "appearance.moc"
