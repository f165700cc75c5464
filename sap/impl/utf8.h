#pragma once

#include <string>
#include <string_view>

namespace sap {

// Well-formed UTF-8 (the Unicode standard's table) in which the only ASCII controls are
// TAB, LF and CR: what a session description may hold.
[[nodiscard]] bool is_valid_utf8(std::string_view text);

}  // namespace sap
