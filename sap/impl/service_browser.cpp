#include "sap/impl/service_browser.h"

#include "sdp/src/parser.h"

namespace sap {

namespace {

template <typename Call>
void for_each_live(const std::vector<std::weak_ptr<browser_callback>>& subscribers, Call call) {
  for (const auto& weak : subscribers) {
    if (const auto subscriber = weak.lock()) {
      call(*subscriber);
    }
  }
}

}  // namespace

std::shared_ptr<service_browser> service_browser::create(std::shared_ptr<boost::asio::io_context> io,
                                                         const std::string& interface_address, const std::string& group,
                                                         uint16_t port, uint32_t interval_ms, bool own_origin_filter,
                                                         listener::options listener_options) {
  auto receiver = std::make_shared<multicast::receiver>("", group, port, interface_address, io);
  std::shared_ptr<service_browser> browser(new service_browser(io, interface_address, own_origin_filter));
  browser->listener_ = listener::create(io, std::move(receiver), interval_ms, std::move(listener_options));
  browser->connect();
  return browser;
}

service_browser::service_browser(std::shared_ptr<boost::asio::io_context> io, std::string interface_address,
                                 bool own_origin_filter)
    : io_(std::move(io)), interface_(std::move(interface_address)), own_origin_filter_(own_origin_filter) {}

service_browser::~service_browser() {
  added_connection_.disconnect();
  removed_connection_.disconnect();
  // Closes the receiver before anything else goes.
  listener_.reset();
}

void service_browser::connect() {
  using slot_type = decltype(listener_->session_added)::slot_type;
  const std::weak_ptr<service_browser> weak = weak_from_this();
  added_connection_ = listener_->session_added.connect(
      slot_type([this](const session& announced) { on_session_added(announced); }).track_foreign(weak));
  removed_connection_ = listener_->session_removed.connect(
      slot_type([this](const session& announced) { on_session_removed(announced); }).track_foreign(weak));
}

bool service_browser::is_own(const session& announced) const {
  return own_origin_filter_ && announced.origin == interface_;
}

void service_browser::on_session_added(const session& announced) {
  const auto description = sdp::parse_session_description(announced.sdp);
  if (is_own(announced)) {
    return;
  }
  names_.insert(description->name);
  const auto named = named_subscribers_.find(description->name);
  if (named != named_subscribers_.end()) {
    for_each_live(named->second, [&](browser_callback& subscriber) { subscriber.added(announced, description); });
  }
  for_each_live(all_subscribers_, [&](browser_callback& subscriber) { subscriber.added(announced, description); });
}

void service_browser::on_session_removed(const session& announced) {
  const auto description = sdp::parse_session_description(announced.sdp);
  names_.erase(description->name);
  if (is_own(announced)) {
    return;
  }
  const auto named = named_subscribers_.find(description->name);
  if (named != named_subscribers_.end()) {
    for_each_live(named->second, [&](browser_callback& subscriber) { subscriber.removed(announced, description); });
  }
  for_each_live(all_subscribers_, [&](browser_callback& subscriber) { subscriber.removed(announced, description); });
}

std::vector<std::pair<session, std::shared_ptr<sdp::session_description>>> service_browser::snapshot() const {
  std::vector<std::pair<session, std::shared_ptr<sdp::session_description>>> parsed;
  for (auto& announced : listener_->sessions()) {
    auto description = sdp::parse_session_description(announced.sdp);
    parsed.emplace_back(std::move(announced), std::move(description));
  }
  return parsed;
}

void service_browser::subscribe(const std::string& name, const std::weak_ptr<browser_callback>& subscriber) {
  const auto live = subscriber.lock();
  if (!live) {
    return;
  }
  if (name.empty()) {
    subscribe_all(subscriber);
    return;
  }
  named_subscribers_[name].push_back(subscriber);
  for (const auto& [announced, description] : snapshot()) {
    if (description->name == name) {
      live->added(announced, description);
    }
  }
}

void service_browser::subscribe_all(const std::weak_ptr<browser_callback>& subscriber) {
  const auto live = subscriber.lock();
  if (!live) {
    return;
  }
  all_subscribers_.push_back(subscriber);
  for (const auto& [announced, description] : snapshot()) {
    live->added(announced, description);
  }
}

}  // namespace sap
