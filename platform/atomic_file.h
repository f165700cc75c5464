#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// How a replaceFile call ended.
struct ReplaceOutcome {
  enum class Stage {
    Done,     // the new contents are in place
    Refused,  // the target cannot be replaced (read-only, not a regular file, a link loop)
    Create,   // no temporary file could be made beside the target
    Fill,     // the caller's fill reported a failure
    Write     // syncing, closing or renaming failed (a full disk, an I/O error)
  };
  Stage stage = Stage::Done;
  std::string message;  // why it failed, for a log line or a message box; empty when done

  [[nodiscard]] bool done() const { return stage == Stage::Done; }
};

struct ReplaceOptions {
  // Replace the file a symbolic link at the path leads to and keep the link; otherwise a link
  // at the path is itself replaced by the new file.
  bool followLinks = true;
};

// Replaces the file at path in one step: fill writes the new contents into a temporary file
// created exclusively (never through a link) beside the target, which is then synced and
// renamed over the target, and the folder synced. A reader sees the former contents or the new
// ones, never a mixture; on any failure the former file stays as it was and the temporary
// file is removed. The new file keeps the former one's mode and, where the system permits, its
// owner; a new target gets the usual mode of a created file. A file without write permission
// for the user is not replaced.
ReplaceOutcome replaceFile(const std::string& path, const std::function<bool(int fd)>& fill,
                           ReplaceOptions options = {});

}  // namespace platform
