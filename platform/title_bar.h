#pragma once

class QWidget;

namespace platform {

// Dynamic property that records the title bar choice on the window.
inline constexpr const char* kDarkTitleBarProperty = "lumoraDarkTitleBar";

// Asks the window manager for a dark or light title bar. Always records the choice in the
// window's kDarkTitleBarProperty; on X11 also sets _GTK_THEME_VARIANT to "dark" or "light".
// Other platforms have no such setting. Returns false only when an X11 request failed.
bool setDarkTitleBar(QWidget* window, bool dark);

}  // namespace platform
