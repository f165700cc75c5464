#pragma once

#include <string>
#include <string_view>

namespace sdp {

// Network text made safe for a console line: printable ASCII and well-formed UTF-8 characters
// from U+00A0 on stay, a backslash is doubled, and every other byte (controls, ESC, 0x7F, C1
// controls, malformed or overlong sequences, surrogates) becomes "\xHH".
[[nodiscard]] std::string printable(std::string_view text);

}  // namespace sdp
