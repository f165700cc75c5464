#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "agent/src/CatalogueHttp.h"

namespace lmr {

// True for a name that can only ever mean one entry inside a folder: not empty, not "." or
// "..", without '/', '\\' or control characters. Names from the catalogue must pass before
// they become part of a path.
[[nodiscard]] bool isPlainFileName(const std::string& name);

enum class DownloadResult {
  Stored,         // the served bytes are now the target file
  CannotCreate,   // no temporary file could be made beside the target, or the target is read-only
  TransferFailed  // the transfer or the write failed; nothing changed
};

// Fetches host/path into a new temporary file beside target, which replaces target (a link
// there included) in one step only after a complete transfer and is removed otherwise. The old
// target stays untouched until then, so an engine that has it loaded never sees it cut short.
// A read-only target counts as one that cannot be created. Prints the file line and the
// "Getting" line before the transfer.
[[nodiscard]] DownloadResult downloadToFile(const std::string& host, const std::string& path, const std::string& target,
                                            std::size_t maxBody, const std::atomic<bool>* cancel = nullptr,
                                            HttpDeadline deadline = kNoDeadline);

}  // namespace lmr
