#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace lmr {

struct InterfaceFilter;

// Outcome of one HTTP request.
struct HttpResult {
  std::string tag;      // the caller's label
  std::string headers;  // every response header line as received
  std::string body;
  std::string error;  // libcurl's text for a failed transfer, else empty
  long code = 0;      // HTTP status; 0 when the transfer failed
};

// Sets up libcurl for the process. main calls it before any other thread starts; later calls
// do nothing.
void initHttpClient();

// Bounds of every request: connection set-up and the whole transfer. Requests run on the window
// thread; opening the plug-in manager adds the catalogue fetch to a /get, and both together
// stay within five seconds.
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{2000};
inline constexpr std::chrono::milliseconds kDefaultTransferTimeout{2000};

// Largest replies kept: a longer body (or header block) ends the transfer as a failure.
inline constexpr size_t kMaxEngineReply = 16 * 1024 * 1024;  // /get, the engine document
inline constexpr size_t kMaxAcknowledgeReply = 4 * 1024;     // replies nobody reads
inline constexpr size_t kMaxReplyHeaders = 64 * 1024;
// Tests shorten them; they apply to requests started afterwards.
void setHttpTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds transfer);

// A synchronous POST with the engine's credentials. headerLines are count "Name: value" texts;
// body may be null; length -1 lets libcurl measure the body. A body past maxReply bytes fails
// the request (error text set, code 0).
[[nodiscard]] std::unique_ptr<HttpResult> httpPost(const char* tag, const std::string& url,
                                                   const char* const* headerLines, size_t count, const char* body,
                                                   long length, size_t maxReply = kMaxEngineReply);

// libcurl write callback: appends size * count bytes to target.
size_t writeToString(char* data, size_t size, size_t count, std::string* target);

// Request bodies of the engine's API: { "Path": "<path>"} with the path escaped as a JSON
// string, and the compact [{"Ip":...,"Mask":...}] list.
[[nodiscard]] std::string getRequestBody(const std::string& path);
[[nodiscard]] std::string interfaceFiltersBody(const std::vector<InterfaceFilter>& filters);

}  // namespace lmr
