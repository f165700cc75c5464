// Against the machine's avahi-daemon through its dns_sd compatibility library. Inside the test
// namespace (LUMORA_TEST_NAMESPACE set) the daemon must answer; elsewhere the tests skip
// without it. Names carry the process id; other services on the daemon are ignored.

#include <gtest/gtest.h>

#include <cstdlib>

#include "testing/stdout_capture.h"
#include "zeroconf/src/client.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/src/service.h"
#include "zeroconf/tests/avahi_support.h"
#include "zeroconf/tests/test_support.h"

namespace zeroconf_test {
namespace {

class avahi_test : public ::testing::Test {
 protected:
  void SetUp() override {
    DNSServiceRef probe = nullptr;
    const DNSServiceErrorType result =
        zeroconf::DNSServiceBrowse(&probe, 0, 0, "_lumora_probe._tcp", nullptr, &ignore_browse, nullptr);
    if (result == kDNSServiceErr_NoError) {
      zeroconf::DNSServiceRefDeallocate(probe);
      client_.reset(zeroconf::create_client(-1));
      return;
    }
    if (std::getenv("LUMORA_TEST_NAMESPACE") != nullptr) {
      FAIL() << "avahi-daemon unreachable in the test namespace (DNSServiceBrowse gave " << result << ")";
    }
    GTEST_SKIP() << "no reachable avahi-daemon (DNSServiceBrowse gave " << result << ")";
  }

  static void ignore_browse(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*, const char*,
                            const char*, void*) {}

  std::shared_ptr<zeroconf::browser> browse(const std::shared_ptr<recording_listener>& listener) {
    auto handle = client_->browse("", "_http._tcp", "_ravenna", listener, false);
    EXPECT_NE(nullptr, handle);
    return handle;
  }

  std::shared_ptr<zeroconf::client> client_;
};

using zeroconf_avahi_browse = avahi_test;
using zeroconf_avahi_register = avahi_test;
using zeroconf_avahi_hostname = avahi_test;
using zeroconf_avahi_dnssd_binding = avahi_test;

TEST_F(zeroconf_avahi_browse, BrowseResolvesPublishedServiceWithAddress) {
  const std::string name = unique_name("it");
  auto listener = std::make_shared<recording_listener>(name);
  auto handle = browse(listener);
  publisher published(name, unique_port());
  ASSERT_TRUE(published.running());
  const auto events = listener->wait_for(1, kAvahiTimeout);
  ASSERT_EQ(1U, events.size());
  expect_reported(events[0], name, unique_port());
}

TEST_F(zeroconf_avahi_browse, RemovalIsReportedWhenThePublisherStops) {
  const std::string name = unique_name("rm") + " a.b\\c";
  auto listener = std::make_shared<recording_listener>(name);
  auto handle = browse(listener);
  publisher published(name, unique_port());
  ASSERT_EQ(1U, listener->wait_for(1, kAvahiTimeout).size());
  published.stop();
  const auto events = listener->wait_for(2, kAvahiTimeout);
  ASSERT_EQ(2U, events.size());
  expect_reported(events[0], name, unique_port());
  EXPECT_FALSE(events[1].resolved);
  EXPECT_EQ(name, events[1].name);  // the resolved and the removed name are the same text
  EXPECT_EQ("_http._tcp.", events[1].regtype);
}

TEST_F(zeroconf_avahi_register, RegisteredServiceIsFoundAndWithdrawn) {
  const std::string name = unique_name("reg");
  state_recorder recorder;
  auto registration =
      client_->register_service(name, "_http._tcp", unique_port(), {"_ravenna"}, {"master:1"}, recorder.callback());
  ASSERT_NE(nullptr, registration);
  ASSERT_TRUE(waitUntil([&] { return !recorder.states().empty(); }, kAvahiTimeout));
  EXPECT_EQ(std::vector<int>{zeroconf::registered}, recorder.states());
  auto listener = std::make_shared<recording_listener>(name);
  auto handle = browse(listener);
  ASSERT_EQ(1U, listener->wait_for(1, kAvahiTimeout).size());
  expect_reported(listener->events()[0], name, unique_port());

  registration.reset();
  const auto events = listener->wait_for(2, kAvahiTimeout);
  ASSERT_EQ(2U, events.size());
  EXPECT_FALSE(events[1].resolved);
  EXPECT_EQ(name, events[1].name);
}

TEST_F(zeroconf_avahi_register, RegistrationOfANameTakenOnThisHostIsRefused) {
  const std::string name = unique_name("dup");
  auto listener = std::make_shared<recording_listener>(name);
  auto handle = browse(listener);
  publisher published(name, unique_port());
  ASSERT_EQ(1U, listener->wait_for(1, kAvahiTimeout).size());
  std::shared_ptr<zeroconf::service> second;
  std::string log;
  {
    testing_support::StdoutCapture capture;
    second = client_->register_service(name, "_http._tcp", unique_port(), {}, {}, [](int) {});
    log = capture.take();
  }
  EXPECT_EQ(nullptr, second);
  EXPECT_NE(std::string::npos, log.find("runtime error Could not register service \"" + name + "\" (-65548).\n"))
      << log;
}

TEST_F(zeroconf_avahi_hostname, HostNameLookupGivesTheLoopbackAddress) {
  auto listener = std::make_shared<recording_hostname_listener>();
  const std::string host = host_name() + ".local";
  auto handle = client_->browse_hostname(host, listener);
  ASSERT_NE(nullptr, handle);
  const auto events = listener->wait_for(1, kAvahiTimeout);
  ASSERT_EQ(1U, events.size());
  EXPECT_TRUE(events[0].resolved);
  EXPECT_EQ(host, events[0].host_name);
  EXPECT_EQ("127.0.0.1", events[0].address);
}

// libdbus, inside the library, ends the process on malformed UTF-8: such texts must not get there.
TEST_F(zeroconf_avahi_register, MalformedTextsAreRefusedAndTheProcessGoesOn) {
  auto listener = std::make_shared<recording_listener>();
  std::string log;
  {
    testing_support::StdoutCapture capture;
    EXPECT_EQ(nullptr,
              client_->register_service(unique_name("bad") + "\xff", "_http._tcp", unique_port(), {}, {}, [](int) {}));
    EXPECT_EQ(nullptr, client_->browse("", "_http._tcp", "loc\xc3", "", listener, false));
    EXPECT_EQ(nullptr, client_->browse("", "_http._tcp", "_rav\xe2\x82", listener, false));
    EXPECT_EQ(nullptr, client_->browse_hostname("vm\xff.local", std::make_shared<recording_hostname_listener>()));
    log = capture.take();
  }
  EXPECT_EQ(4U, count_of(log, "(-65540).\n"));
  // The client still works.
  const std::string name = unique_name("after_bad");
  auto handle = browse(std::make_shared<recording_listener>(name));
  auto good = std::make_shared<recording_listener>(name);
  auto good_browse = browse(good);
  publisher published(name, unique_port());
  EXPECT_EQ(1U, good->wait_for(1, kAvahiTimeout).size());
}

TEST_F(zeroconf_avahi_dnssd_binding, LibraryLacksGetAddrInfoButBrowsesWithFlagsZero) {
  DNSServiceRef ref = nullptr;
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning,
            zeroconf::DNSServiceGetAddrInfo(&ref, 0, 0, kDNSServiceProtocol_IPv4, "x.local", nullptr, nullptr));
  EXPECT_EQ(kDNSServiceErr_Unsupported, zeroconf::DNSServiceBrowse(&ref, kDNSServiceFlagsWakeOnResolve, 0, "_http._tcp",
                                                                   nullptr, &ignore_browse, nullptr));
  ASSERT_EQ(kDNSServiceErr_NoError,
            zeroconf::DNSServiceBrowse(&ref, 0, 0, "_http._tcp,_ravenna", nullptr, &ignore_browse, nullptr));
  zeroconf::DNSServiceRefDeallocate(ref);
}

}  // namespace
}  // namespace zeroconf_test
