#pragma once

#include "log/console_log.h"

namespace zeroconf {

// Runs the body of a reply callback. The callbacks are called from inside the DNS-SD library
// (C code that may hold its own locks), so no exception may unwind through it.
template <typename Body>
void run_reply_guarded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    writeLog(kLogError, LOG_FILE, __LINE__, "exception in DNSServiceProcessResult\n");
  }
}

}  // namespace zeroconf
