#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "JsonText.h"

namespace tvsk {

// Text made safe for HTML element content and quoted attribute values.
[[nodiscard]] std::string escapeHtml(std::string_view text);

// The engine's built-in status page for a state document snapshot: its devices (name, address,
// sample rate, streamers, receivers) and the discovered streams (name, source, destination,
// encoding, sample rate, channels). The page reloads its content every `refreshSeconds`.
[[nodiscard]] std::string renderStatusPage(const Json& document, int refreshSeconds = 3);

// One device's row of the page's device table, and one stream's row of its stream table.
[[nodiscard]] std::string renderDeviceRow(const Json& device);
[[nodiscard]] std::string renderStreamRow(const Json& stream);

// The page put together from the document's "Config" and rows rendered before, in the document's
// order: the same text as renderStatusPage, without rendering any device or stream again.
[[nodiscard]] std::string joinStatusPage(const Json& config, const std::vector<std::string_view>& deviceRows,
                                         const std::vector<std::string_view>& streamRows, int refreshSeconds = 3);

}  // namespace tvsk
