// Against the fake library built without DNSServiceGetAddrInfo, as avahi's is.

#include <arpa/inet.h>

#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/tests/fake_fixture.h"

namespace zeroconf_test {
namespace {

using dnssd_fake::operation;
using dnssd_fake::operation_kind;

using zeroconf_dnssd_binding_missing_export = fake_library_test;
using zeroconf_hostname_fallback = fake_library_test;

TEST_F(zeroconf_dnssd_binding_missing_export, GivesItsDefaultWhileOthersWork) {
  DNSServiceRef ref = nullptr;
  EXPECT_EQ(kDNSServiceErr_ServiceNotRunning,
            zeroconf::DNSServiceGetAddrInfo(&ref, 0, 0, kDNSServiceProtocol_IPv4, "vm.local.", nullptr, nullptr));
  EXPECT_EQ(nullptr, ref);
  EXPECT_EQ(0, zeroconf::DNSServiceBrowse(&ref, 0, 0, "_http._tcp", nullptr, nullptr, nullptr));
  EXPECT_GE(zeroconf::DNSServiceRefSockFD(ref), 0);
  zeroconf::DNSServiceRefDeallocate(ref);
}

TEST_F(zeroconf_hostname_fallback, LookupIsAnAddressRecordQuery) {
  auto listener = std::make_shared<recording_hostname_listener>();
  auto handle = client_->browse_hostname("vm.local.", listener);
  ASSERT_NE(nullptr, handle);
  const operation query = next(operation_kind::query_record);
  EXPECT_EQ(0U, query.flags);
  EXPECT_EQ("vm.local.", query.name.value_or("?"));
  EXPECT_EQ(kDNSServiceType_A, query.record_type);
  EXPECT_EQ(kDNSServiceClass_IN, query.record_class);

  // The library strips the final dot; the name asked for is what the listener gets.
  dnssd_fake::reply_query(query.ref, kDNSServiceFlagsAdd, 1, 0, "vm.local", kDNSServiceType_A, kDNSServiceClass_IN,
                          std::string("\x7f\x00\x00\x01", 4));
  dnssd_fake::reply_query(query.ref, 0, 1, 0, "vm.local", kDNSServiceType_A, kDNSServiceClass_IN,
                          std::string("\x7f\x00\x00\x01", 4));
  const auto events = listener->wait_for(2);
  ASSERT_EQ(2U, events.size());
  EXPECT_TRUE(events[0].resolved);
  EXPECT_EQ("vm.local.", events[0].host_name);
  EXPECT_EQ("127.0.0.1", events[0].address);
  EXPECT_FALSE(events[1].resolved);
  handle.reset();
  EXPECT_TRUE(waitUntil([&] { return released(query.ref); }));
}

TEST_F(zeroconf_hostname_fallback, StartFailureUsesTheLookupText) {
  dnssd_fake::fail_next("DNSServiceQueryRecord", kDNSServiceErr_BadParam);
  EXPECT_EQ(nullptr, client_->browse_hostname("vm.local.", std::make_shared<recording_hostname_listener>()));
  EXPECT_NE(std::string::npos,
            output().find("[0] vm.local.  ; runtime error DNSServiceGetAddrInfo() failed (-65540).\n"));
}

}  // namespace
}  // namespace zeroconf_test
