#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/signals2/connection.hpp>

#include "sap/impl/browser_callback.h"
#include "sap/impl/listener.h"

namespace sap {

// The SAP front end of one local interface: a receiver and a listener, whose sessions it parses
// and hands to its subscribers, per session name or all together. Subscribers are held weakly.
class service_browser : public std::enable_shared_from_this<service_browser> {
 public:
  // Throws when an address text does not parse or is not IPv4 (see multicast::receiver).
  [[nodiscard]] static std::shared_ptr<service_browser> create(std::shared_ptr<boost::asio::io_context> io,
                                                               const std::string& interface_address,
                                                               const std::string& group, uint16_t port,
                                                               uint32_t interval_ms, bool own_origin_filter,
                                                               listener::options listener_options = {});
  ~service_browser();
  service_browser(const service_browser&) = delete;
  service_browser& operator=(const service_browser&) = delete;

  // Subscribes to the sessions named name ("" for all of them) and replays the known ones.
  // Not while the I/O thread runs, and never from inside a callback.
  void subscribe(const std::string& name, const std::weak_ptr<browser_callback>& subscriber);
  void subscribe_all(const std::weak_ptr<browser_callback>& subscriber);

  [[nodiscard]] const std::string& interface_address() const { return interface_; }
  // Names of the sessions announced now, in order.
  [[nodiscard]] std::set<std::string> names() const { return {names_.begin(), names_.end()}; }
  [[nodiscard]] const std::shared_ptr<sap::listener>& listener() const { return listener_; }

  void on_session_added(const session& announced);
  void on_session_removed(const session& announced);

 private:
  using subscriber_list = std::vector<std::weak_ptr<browser_callback>>;

  service_browser(std::shared_ptr<boost::asio::io_context> io, std::string interface_address, bool own_origin_filter);
  void connect();
  [[nodiscard]] bool is_own(const session& announced) const;
  [[nodiscard]] std::vector<std::pair<session, std::shared_ptr<sdp::session_description>>> snapshot() const;

  std::shared_ptr<boost::asio::io_context> io_;
  std::map<std::string, subscriber_list> named_subscribers_;
  subscriber_list all_subscribers_;
  std::shared_ptr<sap::listener> listener_;
  std::string interface_;
  bool own_origin_filter_;
  // Hashed: every announcement updates it, while the ordered view is asked for rarely.
  std::unordered_set<std::string> names_;
  boost::signals2::scoped_connection added_connection_;
  boost::signals2::scoped_connection removed_connection_;
};

}  // namespace sap
