// Registration and host-name lookup against the fake library.

#include <arpa/inet.h>

#include "zeroconf/src/service.h"
#include "zeroconf/tests/fake_fixture.h"

namespace zeroconf_test {
namespace {

using dnssd_fake::operation;
using dnssd_fake::operation_kind;

class zeroconf_register : public fake_library_test {
 protected:
  std::shared_ptr<zeroconf::service> start(const std::string& name = "_lumora_reg") {
    auto handle = client_->register_service(name, "_http._tcp", 8123, {"_ravenna", "_extra"}, {"master:1", "", "b=2"},
                                            recorder_.callback());
    registration_ = next(operation_kind::register_service);
    return handle;
  }

  std::vector<int> states() { return recorder_.states(); }

  operation registration_;

 private:
  state_recorder recorder_;
};

TEST_F(zeroconf_register, RegistrationCarriesSubtypesPortAndTxt) {
  auto handle = start();
  EXPECT_EQ("_lumora_reg", registration_.name.value_or("?"));
  EXPECT_EQ("_http._tcp,_ravenna,_extra", registration_.regtype.value_or("?"));
  EXPECT_EQ(0U, registration_.flags);
  EXPECT_EQ(0U, registration_.interface_index);
  EXPECT_FALSE(registration_.domain.has_value());
  EXPECT_FALSE(registration_.host.has_value());
  EXPECT_EQ(htons(8123), registration_.port_network_order);
  EXPECT_EQ(std::string("\x08master:1\x03"
                        "b=2"),
            registration_.txt);
  EXPECT_EQ(zeroconf::none, handle->state);
  handle.reset();
  EXPECT_TRUE(released(registration_.ref));
}

TEST_F(zeroconf_register, AnswersSetTheStateBeforeTheCallback) {
  auto handle = start();
  dnssd_fake::reply_register(registration_.ref, 0, 0, "_lumora_reg", "_http._tcp.", "local.");
  dnssd_fake::reply_register(registration_.ref, 0, kDNSServiceErr_NameConflict, nullptr, nullptr, nullptr);
  dnssd_fake::reply_register(registration_.ref, 0, kDNSServiceErr_Invalid, nullptr, nullptr, nullptr);
  const std::string log = output_until("bonjour_service failed (-65549)\n");
  ASSERT_TRUE(waitUntil([&] { return states().size() == 3; }));
  EXPECT_EQ((std::vector<int>{3, 2, 1}), states());
  EXPECT_NE(std::string::npos, log.find("bonjour_service failed name collision (-65548)\n"));
  EXPECT_EQ(2U, count_of(log, "bonjour_service failed"));
  EXPECT_FALSE(released(registration_.ref));  // stays until the handle goes
  EXPECT_EQ(zeroconf::none, handle->state);
}

TEST_F(zeroconf_register, EmptyCallbackIsCaughtAndThePollThreadGoesOn) {
  auto handle = client_->register_service("_lumora_reg", "_http._tcp", 1, {}, {}, nullptr);
  const operation registration = next(operation_kind::register_service);
  EXPECT_EQ("_http._tcp", registration.regtype.value_or("?"));
  dnssd_fake::reply_register(registration.ref, 0, 0, "_lumora_reg", "_http._tcp.", "local.");
  output_until("exception in DNSServiceProcessResult\n");
  auto listener = std::make_shared<recording_listener>();
  auto browse = client_->browse("", "_http._tcp", "", listener, false);
  dnssd_fake::reply_browse(next(operation_kind::browse).ref, 0, 1, 0, "gone", "_http._tcp.", "local.");
  EXPECT_EQ(1U, listener->wait_for(1).size());
}

TEST_F(zeroconf_register, LongNameIsOnlyLogged) {
  const std::string name(64, 'n');
  auto handle = start(name);
  EXPECT_NE(nullptr, handle);
  EXPECT_NE(std::string::npos, output().find("service name \"" + name + "\" is too long(64) should be < 64\n"));
  auto shorter = start(std::string(63, 'n'));
  EXPECT_EQ(1U, count_of(output(), "is too long"));
}

TEST_F(zeroconf_register, RefusedRegistrationGivesAnEmptyHandle) {
  dnssd_fake::fail_next("DNSServiceRegister", kDNSServiceErr_NameConflict);
  EXPECT_EQ(nullptr, client_->register_service("_lumora_reg", "_http._tcp", 1, {}, {}, [](int) {}));
  EXPECT_NE(std::string::npos,
            output().find("[0] _lumora_reg  _http._tcp; runtime error Could not register service \"_lumora_reg\" "
                          "(-65548).\n"));
}

using zeroconf_hostname = fake_library_test;

TEST_F(zeroconf_hostname, AddressAnswersAreFilteredAndReported) {
  auto listener = std::make_shared<recording_hostname_listener>();
  auto on_two = make_client(2);
  auto handle = on_two->browse_hostname("vm.local.", listener);
  const operation lookup = next(operation_kind::get_addr_info);
  EXPECT_EQ(kDNSServiceFlagsReturnIntermediates, lookup.flags);
  EXPECT_EQ(kDNSServiceProtocol_IPv4, lookup.protocol);
  EXPECT_EQ(2U, lookup.interface_index);
  EXPECT_EQ("vm.local.", lookup.name.value_or("?"));

  dnssd_fake::reply_addrinfo(lookup.ref, kDNSServiceFlagsAdd, 2, 0, "other.local.", "10.0.0.1");
  dnssd_fake::reply_addrinfo(lookup.ref, kDNSServiceFlagsAdd, 2, kDNSServiceErr_Invalid, nullptr, "");
  dnssd_fake::reply_addrinfo(lookup.ref, kDNSServiceFlagsAdd, 2, 0, "vm.local.", "10.0.200.250");
  dnssd_fake::reply_addrinfo(lookup.ref, kDNSServiceFlagsAdd, 2, 0, "vm.local.", "v6");
  dnssd_fake::reply_addrinfo(lookup.ref, 0, 2, 0, "vm.local.", "10.0.200.250");
  const auto events = listener->wait_for(3);
  ASSERT_EQ(3U, events.size());
  EXPECT_TRUE(events[0].resolved);
  EXPECT_EQ(2U, events[0].interface_index);
  EXPECT_EQ("vm.local.", events[0].host_name);
  EXPECT_EQ("10.0.200.250", events[0].address);
  EXPECT_TRUE(events[1].resolved);
  EXPECT_EQ("", events[1].address);
  EXPECT_FALSE(events[2].resolved);
  EXPECT_EQ("vm.local.", events[2].host_name);
  EXPECT_NE(std::string::npos, output().find(" zeroconf_category: errorCode = -65549\n"));
  handle.reset();
  EXPECT_TRUE(waitUntil([&] { return released(lookup.ref); }));
}

TEST_F(zeroconf_hostname, StartFailureLineHasNoType) {
  dnssd_fake::fail_next("DNSServiceGetAddrInfo", kDNSServiceErr_Unknown);
  EXPECT_EQ(nullptr, client_->browse_hostname("vm.local.", std::make_shared<recording_hostname_listener>()));
  EXPECT_NE(std::string::npos,
            output().find("[0] vm.local.  ; runtime error DNSServiceGetAddrInfo() failed (-65537).\n"));
}

}  // namespace
}  // namespace zeroconf_test
