#include "platform/title_bar.h"

#include <QGuiApplication>
#include <QVariant>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "log/console_log.h"

namespace platform {
namespace {

constexpr const char* kThemeVariantAtom = "_GTK_THEME_VARIANT";
constexpr const char* kUtf8StringAtom = "UTF8_STRING";

struct ConnectionCloser {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  if (reply == nullptr) {
    return XCB_ATOM_NONE;
  }
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  return atom;
}

// Sets the variant on the window through a connection of our own, so no private Qt
// interface is needed; the window id is valid for every client of the display.
bool setThemeVariant(xcb_window_t window, bool dark) {
  Connection connection(xcb_connect(nullptr, nullptr));
  if (!connection || xcb_connection_has_error(connection.get()) != 0) {
    return false;
  }
  const xcb_atom_t variant = internAtom(connection.get(), kThemeVariantAtom);
  const xcb_atom_t utf8 = internAtom(connection.get(), kUtf8StringAtom);
  if (variant == XCB_ATOM_NONE || utf8 == XCB_ATOM_NONE) {
    return false;
  }
  const char* value = dark ? "dark" : "light";
  const xcb_void_cookie_t cookie =
      xcb_change_property_checked(connection.get(), XCB_PROP_MODE_REPLACE, window, variant, utf8, 8,
                                  static_cast<uint32_t>(std::strlen(value)), value);
  xcb_generic_error_t* error = xcb_request_check(connection.get(), cookie);
  if (error != nullptr) {
    std::free(error);
    return false;
  }
  return true;
}

}  // namespace

bool setDarkTitleBar(QWidget* window, bool dark) {
  if (window == nullptr) {
    return true;
  }
  window->setProperty(kDarkTitleBarProperty, dark);
  if (QGuiApplication::platformName() != QLatin1String("xcb")) {
    return true;
  }
  // The title bar belongs to the top-level window the widget lives in.
  QWidget* topLevel = window->window();
  const auto id = static_cast<xcb_window_t>(topLevel->winId());
  if (!setThemeVariant(id, dark)) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Could not set the title bar variant of window 0x%x\n",
             static_cast<unsigned>(id));
    return false;
  }
  return true;
}

}  // namespace platform
