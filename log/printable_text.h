#pragma once

// One rule for text from outside (network values, device pages, engine texts) that goes into a
// log line, shared by the console log's callers and the device-proxy plug-in's own log file.

#include <cstddef>
#include <string>
#include <string_view>

namespace lumora_log {

// Length (2 to 4) of the well-formed UTF-8 multi-byte sequence that starts at text[at], after
// the Unicode standard's table; 0 where none starts (ASCII, a stray continuation byte, an
// overlong form, a surrogate, a code point past U+10FFFF, a sequence cut short).
[[nodiscard]] size_t utf8_sequence_length(std::string_view text, size_t at);

// Text made safe for one log line: printable ASCII and well-formed UTF-8 characters from U+00A0
// on stay, a backslash is doubled, and every other byte (CR, LF, NUL and the other controls, ESC,
// 0x7F, C1 controls, malformed or overlong sequences, surrogates) becomes "\xHH".
[[nodiscard]] std::string printable(std::string_view text);

// The same, at most max_size bytes long: when the text does not fit, it ends in "..." after the
// last whole character or escape that fits. Only as much of the text is read as is written.
[[nodiscard]] std::string printable(std::string_view text, size_t max_size);

}  // namespace lumora_log
