#pragma once

// Minimal blocking HTTP/1.1 client for the devices' built-in web pages. Parameters travel as
// header lines in both directions; bodies are never read. One connection per request.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugins/vextro/src/Codecs.h"

namespace Vextro {

inline constexpr const char* kConfigPage = "/config.htm";
inline constexpr const char* kStatisticPage = "/statistic.htm";
inline constexpr const char* kSessionsPage = "/sessions.htm";
inline constexpr const char* kSavePage = "/save.htm";
inline constexpr const char* kConnectPage = "/connect.htm";
inline constexpr const char* kConnectSapPage = "/connectsap.htm";
inline constexpr const char* kStatusOk = "OK";
// A real configuration page carries 50-150 KB of header lines; more is refused.
inline constexpr std::size_t kMaxHeaderBlockBytes = 1024 * 1024;

// Bounds of one request, so a device that accepts and never answers cannot block its caller.
struct PageTimeouts {
  std::chrono::milliseconds connect{2000};
  std::chrono::milliseconds request{5000};  // connect, write and read together
};

// The exact request bytes; `parameters` (may be null) become header lines in name order.
[[nodiscard]] std::string BuildPageRequest(const std::string& host, uint16_t port, const std::string& path,
                                           const ParameterMap* parameters);

// Parameters of a received header block (the status line first); stops at the empty line.
// `inOrder` (when given) tells whether every parameter line named a parameter after all lines
// before it, so that each line is an entry of its own.
[[nodiscard]] ParameterMap ParseHeaderParameters(std::string_view received, bool* inOrder = nullptr);

// What turns one page's parameters into the next one's: new values by name (added parameters
// included) and the names that went, each in line order.
struct ParameterEdits {
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> removed;
};
// The edits from the parameters of `previous` (a block parsed in order) to those of `current`;
// nullopt unless `current` names its parameters in order too (then a full parse is needed).
[[nodiscard]] std::optional<ParameterEdits> EditsBetween(std::string_view previous, std::string_view current);

// One GET; `block` (cleared first) receives the response's header block as sent, from the status
// line through the empty line. Throws as FetchPageParameters does.
void FetchPageBlock(const std::string& host, uint16_t port, const std::string& path, std::string& block,
                    const PageTimeouts& timeouts = {});

// One GET; fills `out` (cleared first) from the response's header lines. Throws on any failure:
// system errors "connect: ...", "write: ...", "read_until: ..." or a runtime error for a bad
// status line or a status other than 200.
void FetchPageParameters(const std::string& host, uint16_t port, const std::string& path, ParameterMap& out,
                         const PageTimeouts& timeouts = {});
// One GET carrying `parameters` as header lines; returns when the device answered 200. A name or
// unencoded value holding CR, LF or NUL is refused before connecting.
void SendPageParameters(const std::string& host, uint16_t port, const std::string& path, const ParameterMap& parameters,
                        const PageTimeouts& timeouts = {});

void FetchConfigPage(const std::string& host, uint16_t port, ParameterMap& out, const PageTimeouts& timeouts = {});
void FetchStatisticPage(const std::string& host, uint16_t port, ParameterMap& out, const PageTimeouts& timeouts = {});
void FetchSessionsPage(const std::string& host, uint16_t port, ParameterMap& out, const PageTimeouts& timeouts = {});
void SendSavePage(const std::string& host, uint16_t port, const ParameterMap& parameters,
                  const PageTimeouts& timeouts = {});
void SendConnectPage(const std::string& host, uint16_t port, const ParameterMap& parameters,
                     const PageTimeouts& timeouts = {});
void SendConnectSapPage(const std::string& host, uint16_t port, const ParameterMap& parameters,
                        const PageTimeouts& timeouts = {});

// Configuration then statistics; status "OK" or "Error: <reason>" (logged). Never throws.
// The blocks form gives the header blocks as received (empty when not fetched).
void FetchConfigurationBlocks(const std::string& host, uint16_t port, std::string& configuration,
                              std::string& statistics, std::string& status, const PageTimeouts& timeouts = {});
void FetchConfiguration(const std::string& host, uint16_t port, ParameterMap& configuration, ParameterMap& statistics,
                        std::string& status, const PageTimeouts& timeouts = {});
void FetchSessions(const std::string& host, uint16_t port, ParameterMap& sessions, std::string& status,
                   const PageTimeouts& timeouts = {});

}  // namespace Vextro
