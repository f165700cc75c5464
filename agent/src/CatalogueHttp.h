#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>

namespace lmr {

// Largest header block a catalogue server may send before the blank line.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Largest bodies accepted per kind of file; a longer one is a failed transfer.
inline constexpr std::size_t kCatalogueBodyCap = 4 * 1024 * 1024;
inline constexpr std::size_t kPictureBodyCap = 16 * 1024 * 1024;
inline constexpr std::size_t kPluginBodyCap = 256 * 1024 * 1024;

// Waits of one transfer: reaching the server (name lookup included), silence of the server once
// connected, and the whole of a fetch made on the window thread (the catalogue, or a picture's
// two files) so the window never freezes longer than that.
struct HttpTimeouts {
  std::chrono::milliseconds connect{10000};
  std::chrono::milliseconds idle{30000};
  std::chrono::milliseconds window{2500};
};

using HttpDeadline = std::chrono::steady_clock::time_point;
inline constexpr HttpDeadline kNoDeadline = HttpDeadline::max();

// Process-wide timeouts every httpGet uses; tests shorten them.
void setHttpTimeouts(const HttpTimeouts& timeouts);
[[nodiscard]] HttpTimeouts httpTimeouts();
// The end of a fetch made on the window thread that starts now.
[[nodiscard]] HttpDeadline windowFetchDeadline();

// One HTTP/1.0 GET of path from host ("name" or "name:port", port 80 by default; the Host
// header carries host as given). The body goes to out. True only for a 2xx status with a
// plain, complete, non-empty body of at most maxBody bytes; every failure (a host or path with
// control characters or blanks, resolve, connect, timeout, oversized header or body, a
// Transfer-Encoding, a reset, fewer bytes than Content-Length, a failing out) gives false.
// Blocks the calling thread, never longer than the timeouts allow per wait nor past deadline;
// a set cancel flag ends the transfer (as a failure) within a fraction of a second. A name
// lookup given up on is left to finish on a thread of its own: nothing waits for it.
bool httpGet(const std::string& host, const std::string& path, std::ostream& out,
             std::size_t maxBody = kCatalogueBodyCap, const std::atomic<bool>* cancel = nullptr,
             HttpDeadline deadline = kNoDeadline);

// A catalogue address "host/path..." split at its first '/': the path keeps the '/'. Refused
// when host or path holds a control character or a blank: they would reach the wire.
struct HostAndPath {
  std::string host;
  std::string path;
};
[[nodiscard]] std::optional<HostAndPath> splitAddress(const std::string& address);

// The catalogue web site: the maker's host on port 80, or LUMORA_CATALOGUE_HOST ("host:port").
[[nodiscard]] std::string catalogueHost();
inline constexpr const char* kCataloguePath = "/plugins.json";

}  // namespace lmr
