// Without a loadable DNS-SD library every call answers its default and operations fail in order.

#include <gtest/gtest.h>

#include "testing/stdout_capture.h"
#include "zeroconf/src/browser.h"
#include "zeroconf/src/client.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/tests/test_support.h"

namespace zeroconf_test {
namespace {

TEST(zeroconf_dnssd_binding_missing_library, EveryFunctionAnswersItsDefault) {
  DNSServiceRef ref = nullptr;
  // Any non-null pointer: it must never be looked at.
  auto* bogus = reinterpret_cast<DNSServiceRef>(&ref);
  EXPECT_EQ(-1, zeroconf::DNSServiceRefSockFD(bogus));
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning, zeroconf::DNSServiceProcessResult(bogus));
  zeroconf::DNSServiceRefDeallocate(bogus);
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning,
            zeroconf::DNSServiceBrowse(&ref, 0, 0, "_http._tcp", nullptr, nullptr, nullptr));
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning,
            zeroconf::DNSServiceResolve(&ref, 0, 0, "a", "_http._tcp", "local.", nullptr, nullptr));
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning,
            zeroconf::DNSServiceQueryRecord(&ref, 0, 0, "vm.local.", 1, 1, nullptr, nullptr));
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning, zeroconf::DNSServiceRegister(&ref, 0, 0, "a", "_http._tcp", nullptr,
                                                                           nullptr, 0, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning, zeroconf::DNSServiceReconfirmRecord(0, 0, "a", 1, 1, 0, nullptr));
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning,
            zeroconf::DNSServiceGetAddrInfo(&ref, 0, 0, kDNSServiceProtocol_IPv4, "vm.local.", nullptr, nullptr));
  EXPECT_EQ(nullptr, ref);
}

TEST(zeroconf_dnssd_binding_missing_library, BrowseGivesAnEmptyHandleAfterALine) {
  testing_support::StdoutCapture capture;
  std::shared_ptr<zeroconf::client> client(zeroconf::create_client(-1));
  EXPECT_EQ(nullptr, client->browse("", "_http._tcp", "_ravenna", std::make_shared<recording_listener>(), false));
  EXPECT_EQ(nullptr, client->register_service("n", "_http._tcp", 1, {}, {}, [](int) {}));
  EXPECT_EQ(nullptr, client->browse_hostname("vm.local.", std::make_shared<recording_hostname_listener>()));
  const std::string log = capture.take();
  EXPECT_NE(std::string::npos, log.find("[0]   _http._tcp; runtime error DNSServiceBrowse() failed (-65563).\n"));
  EXPECT_NE(std::string::npos, log.find("runtime error Could not register service \"n\" (-65563).\n"));
  EXPECT_NE(std::string::npos, log.find("[0] vm.local.  ; runtime error DNSServiceGetAddrInfo() failed (-65563).\n"));
}

}  // namespace
}  // namespace zeroconf_test
