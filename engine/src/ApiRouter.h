#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DeviceAction.h"
#include "InterfaceFilter.h"

namespace tvsk {

class StateDocument;

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

// Where deferred work sends its one answer, from any thread. abandoned() turns true once the client
// had another answer (it waited too long) or went away; work not yet begun is then dropped.
class DeferredReply {
 public:
  virtual ~DeferredReply() = default;
  virtual void send(ApiResponse response) = 0;
  [[nodiscard]] virtual bool abandoned() const = 0;
};

// What the router needs from the running engine.
struct ApiHooks {
  // Replaces the interface filters (already checked and without duplicates).
  std::function<void(const std::vector<InterfaceFilter>&)> replaceInterfaceFilters;
  // Hands an action list to the device with that proxy Id, which runs it on its own thread; called
  // on the I/O thread, so it only queues.
  std::function<ActionAdmission(uint32_t id, DeviceActionRequest request)> deviceAction;
  // The web application's index.html to serve for "/" when that file exists.
  std::string webAppIndexPath;
};

// A response, or work that answers later.
struct ApiOutcome {
  using Deferred = std::function<std::optional<ApiResponse>(const std::shared_ptr<DeferredReply>& reply)>;
  ApiResponse response;
  // When set, called on the I/O thread: it queues the work, which answers through `reply`, or
  // gives the answer at once when the work cannot be queued.
  Deferred deferred;
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
