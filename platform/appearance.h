#pragma once

#include <QColor>
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace platform {

// The desktop's foreground (text) colour and its changes. Sources, first that applies:
// LUMORA_FOREGROUND="r,g,b"; LUMORA_FOREGROUND_FILE=<path> holding "r g b" (watched);
// the desktop portal's colour scheme; the palette colour given at creation.
// Never throws: an unreadable source is logged once (warning) and reads as black (light).
class Appearance : public QObject {
  Q_OBJECT

 public:
  ~Appearance() override = default;

  // The source the environment selects; fallback is used when no other source applies.
  [[nodiscard]] static std::unique_ptr<Appearance> create(const QColor& fallback);
  // The portal source on a given bus, or null when no portal answers there in time.
  [[nodiscard]] static std::unique_ptr<Appearance> createPortal(const QDBusConnection& bus, int timeoutMs);

  // The current foreground colour, read afresh.
  [[nodiscard]] virtual QColor foreground() = 0;
  // Name of the source in use, for logs and tests: "env", "file", "portal" or "palette".
  [[nodiscard]] virtual QString sourceName() const = 0;

  // handler runs on this object's thread after each change; it ends with this object.
  void subscribe(std::function<void()> handler);

 protected:
  Appearance() = default;
  void notifyChanged();

 private:
  std::function<void()> handler_;
};

// Parses "r,g,b" or "r g b" (0..255 each, blanks allowed); false when malformed.
[[nodiscard]] bool parseRgb(const QString& text, QColor& colour);

// Portal reply for the colour scheme: 1 prefers dark (white text); anything else black text.
[[nodiscard]] QColor foregroundForColorScheme(uint scheme);

// Milliseconds a portal call may take before the source counts as absent.
inline constexpr int kPortalTimeoutMs = 300;

}  // namespace platform
