#pragma once

#include <string>
#include <string_view>

#include "JsonText.h"

namespace tvsk {

// Text made safe for HTML element content and quoted attribute values.
[[nodiscard]] std::string escapeHtml(std::string_view text);

// The engine's built-in status page for a state document snapshot: its devices (name, address,
// sample rate, streamers, receivers) and the discovered streams (name, source, destination,
// encoding, sample rate, channels). The page reloads its content every `refreshSeconds`.
[[nodiscard]] std::string renderStatusPage(const Json& document, int refreshSeconds = 3);

}  // namespace tvsk
