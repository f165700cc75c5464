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
  CannotCreate,   // no part file could be made in the target's folder
  TransferFailed  // the part file was made, the transfer failed; nothing changed
};

// Fetches host/path into target through "<target>.part" in the same folder: flushed, synced and
// renamed over target only after a complete transfer, removed otherwise. The old target stays
// untouched until the rename, so an engine that has it loaded never sees it cut short.
// Prints the file line and the "Getting" line before the transfer.
[[nodiscard]] DownloadResult downloadToFile(const std::string& host, const std::string& path,
                                            const std::string& target, std::size_t maxBody,
                                            const std::atomic<bool>* cancel = nullptr,
                                            HttpDeadline deadline = kNoDeadline);

}  // namespace lmr
