#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zeroconf {

class bonjour_client;

enum service_state : uint32_t {
  none = 0,  // not yet answered
  failed = 1,
  collision = 2,  // the name is taken
  registered = 3,
};

// Base of registration handles.
class service {
 public:
  explicit service(std::function<void(int)> callback) : callback(std::move(callback)) {}
  virtual ~service() = default;
  service(const service&) = delete;
  service& operator=(const service&) = delete;

  uint32_t state = none;
  std::function<void(int)> callback;
};

// The handle register_service returns; releasing it withdraws the service. Its own state stays
// `none`: the outcome reaches the caller only through the callback.
class bonjour_service final : public service {
 public:
  class impl;

  // Throws std::runtime_error "Could not register service "<name>" (<code>)." when the library
  // refuses the registration.
  bonjour_service(const std::shared_ptr<bonjour_client>& owner, const std::string& name, const std::string& type,
                  uint16_t port, const std::vector<std::string>& subtypes, const std::vector<std::string>& txt_entries,
                  std::function<void(int)> callback);
  ~bonjour_service() override;

  // Names of 64 bytes or more are only logged; the library decides.
  static constexpr size_t kMaxNameLength = 64;

 private:
  std::shared_ptr<impl> impl_;
};

}  // namespace zeroconf
