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

// Bounds of every request: connection set-up and the whole transfer.
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{5000};
inline constexpr std::chrono::milliseconds kDefaultTransferTimeout{15000};
// Tests shorten them; they apply to requests started afterwards.
void setHttpTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds transfer);

// A synchronous POST with the engine's credentials. headerLines are count "Name: value" texts;
// body may be null; length -1 lets libcurl measure the body.
[[nodiscard]] std::unique_ptr<HttpResult> httpPost(const char* tag, const std::string& url,
                                                   const char* const* headerLines, size_t count, const char* body,
                                                   long length);

// libcurl write callback: appends size * count bytes to target.
size_t writeToString(char* data, size_t size, size_t count, std::string* target);

// Request bodies of the engine's API: { "Path": "<path>"} with the path escaped as a JSON
// string, and the compact [{"Ip":...,"Mask":...}] list.
[[nodiscard]] std::string getRequestBody(const std::string& path);
[[nodiscard]] std::string interfaceFiltersBody(const std::vector<InterfaceFilter>& filters);

}  // namespace lmr
