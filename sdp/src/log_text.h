#pragma once

// The log-text rule lives with the log; SDP and SAP code name it from here.
#include "log/printable_text.h"

namespace sdp {

using lumora_log::printable;
using lumora_log::utf8_sequence_length;

}  // namespace sdp
