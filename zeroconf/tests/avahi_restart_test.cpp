// Operations that outlive a restart of avahi-daemon. The tests stop and start the daemon, so they
// run in a namespace of their own (see CMakeLists.txt), never beside the other avahi tests.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "testing/avahi_daemon.h"
#include "zeroconf/src/client.h"
#include "zeroconf/src/service.h"
#include "zeroconf/tests/avahi_support.h"
#include "zeroconf/tests/test_support.h"

namespace zeroconf_test {
namespace {

using steady = std::chrono::steady_clock;

long long milliseconds_since(steady::time_point start) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count());
}

// Whether avahi-browse, a separate client of the daemon, lists the instance.
bool listed_by_avahi_browse(const std::string& name) {
  const auto lines = testing_support::avahiBrowseResolved("_http._tcp");
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(";" + name + ";") != std::string::npos; });
}

class zeroconf_avahi_restart : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("LUMORA_TEST_NAMESPACE") == nullptr) {
      GTEST_SKIP() << "restarts avahi-daemon: runs only inside a test namespace of its own";
    }
    ASSERT_TRUE(testing_support::avahiDaemonRunning());
    client_.reset(zeroconf::create_client(-1));
  }
  void TearDown() override {
    if (!testing_support::avahiDaemonRunning()) {
      ASSERT_TRUE(testing_support::startAvahiDaemon(LUMORA_AVAHI_CONFIG));
    }
  }

  std::shared_ptr<zeroconf::client> client_;
};

TEST_F(zeroconf_avahi_restart, RunningBrowseReportsLostInstancesAndFindsNewOnes) {
  const std::string before = unique_name("before");
  const std::string after = unique_name("after");
  auto listener = std::make_shared<recording_listener>(kNamePrefix);
  auto handle = client_->browse("", "_http._tcp", "_ravenna", listener, false);
  ASSERT_NE(nullptr, handle);
  publisher first(before, unique_port());
  ASSERT_EQ(1U, listener->wait_for(1, kAvahiTimeout).size());

  const auto stopped = steady::now();
  ASSERT_TRUE(testing_support::stopAvahiDaemon());
  auto events = listener->wait_for(2, kAvahiTimeout);
  ASSERT_EQ(2U, events.size());
  const long long removal_ms = milliseconds_since(stopped);
  EXPECT_FALSE(events[1].resolved);
  EXPECT_EQ(before, events[1].name);
  EXPECT_EQ("_http._tcp.", events[1].regtype);
  first.stop();

  const auto restarted_at = steady::now();
  ASSERT_TRUE(testing_support::startAvahiDaemon(LUMORA_AVAHI_CONFIG));
  const long long daemon_start_ms = milliseconds_since(restarted_at);
  publisher second(after, static_cast<uint16_t>(unique_port() + 1));
  events = listener->wait_for(3, 20s);
  ASSERT_EQ(3U, events.size());
  const long long rediscovery_ms = milliseconds_since(restarted_at);
  expect_reported(events[2], after, static_cast<uint16_t>(unique_port() + 1));
  std::fprintf(stderr,
               "removal reported %lld ms after the daemon was stopped; daemon up after %lld ms; new service "
               "reported %lld ms after the restart began\n",
               removal_ms, daemon_start_ms, rediscovery_ms);
}

TEST_F(zeroconf_avahi_restart, RegistrationIsVisibleAgainAfterTheRestart) {
  const std::string name = unique_name("kept");
  state_recorder recorder;
  auto state_count = [&] { return recorder.states().size(); };
  auto registration =
      client_->register_service(name, "_http._tcp", unique_port(), {"_ravenna"}, {"master:1"}, recorder.callback());
  ASSERT_NE(nullptr, registration);
  ASSERT_TRUE(waitUntil([&] { return state_count() == 1; }, kAvahiTimeout));
  ASSERT_TRUE(listed_by_avahi_browse(name));

  ASSERT_TRUE(testing_support::stopAvahiDaemon());
  ASSERT_TRUE(waitUntil([&] { return state_count() == 2; }, kAvahiTimeout));
  const auto restarted_at = steady::now();
  ASSERT_TRUE(testing_support::startAvahiDaemon(LUMORA_AVAHI_CONFIG));
  ASSERT_TRUE(waitUntil([&] { return state_count() == 3; }, 20s));
  const long long registered_ms = milliseconds_since(restarted_at);
  EXPECT_EQ((std::vector<int>{zeroconf::registered, zeroconf::failed, zeroconf::registered}), recorder.states());
  EXPECT_TRUE(waitUntil([&] { return listed_by_avahi_browse(name); }, kAvahiTimeout));
  std::fprintf(stderr,
               "registration announced again %lld ms after the restart began; visible to avahi-browse after "
               "%lld ms\n",
               registered_ms, milliseconds_since(restarted_at));
}

}  // namespace
}  // namespace zeroconf_test
