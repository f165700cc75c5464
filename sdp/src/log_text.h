#pragma once

#include <string>
#include <string_view>

namespace sdp {

// Network text made safe for a console line: printable ASCII stays, a backslash is doubled and
// every other byte (controls, ESC, 0x7F, non-ASCII) becomes "\xHH".
[[nodiscard]] std::string printable(std::string_view text);

}  // namespace sdp
