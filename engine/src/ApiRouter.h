#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "InterfaceFilter.h"
#include "StateDocument.h"

namespace tvsk {

// One HTTP request as the router sees it, already read within the server's limits.
struct ApiRequest {
  std::string method;
  std::string target;
  std::string authorization;  // the Authorization header, empty when absent
  std::string body;
};

struct ApiResponse {
  unsigned status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// What the router needs from the running engine.
struct ApiHooks {
  // Replaces the interface filters (already checked and without duplicates).
  std::function<void(const std::vector<InterfaceFilter>&)> replaceInterfaceFilters;
  // Runs an action list on the device with that proxy Id: the plug-in's result, or nothing for an
  // unknown Id. Called off the I/O thread (see ApiOutcome).
  std::function<std::optional<int>(uint32_t id, const std::string& actions)> deviceAction;
  // The web application's index.html to serve for "/" when that file exists.
  std::string webAppIndexPath;
};

// A response, or work to run away from the I/O thread that yields the response.
struct ApiOutcome {
  ApiResponse response;
  std::function<ApiResponse()> deferred;
};

// The engine's HTTP API: POST /get, /set_interface_filters and /action with basic authentication,
// and the web application at "/" without.
class ApiRouter {
 public:
  // "kilo:mars" in base64, the one account of the API.
  static constexpr const char* kCredentials = "a2lsbzptYXJz";
  static constexpr const char* kRealm = "TaviskEngine";

  ApiRouter(const StateDocument& state, ApiHooks hooks);

  [[nodiscard]] ApiOutcome handle(const ApiRequest& request) const;

  [[nodiscard]] static ApiResponse errorResponse(unsigned status, const std::string& message);

 private:
  [[nodiscard]] ApiResponse get(const ApiRequest& request) const;
  [[nodiscard]] ApiResponse setInterfaceFilters(const ApiRequest& request) const;
  [[nodiscard]] ApiOutcome action(const ApiRequest& request) const;
  [[nodiscard]] ApiResponse webApplication() const;

  const StateDocument& state_;
  ApiHooks hooks_;
};

}  // namespace tvsk
