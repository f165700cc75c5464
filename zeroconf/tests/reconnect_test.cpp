// Operations that lose the DNS-SD service come back once it answers again (fake library).

#include <arpa/inet.h>

#include "zeroconf/src/retry_backoff.h"
#include "zeroconf/src/service.h"
#include "zeroconf/tests/fake_fixture.h"

namespace zeroconf_test {
namespace {

using dnssd_fake::operation;
using dnssd_fake::operation_kind;

TEST(zeroconf_retry_backoff, DoublesFromTheFirstDelayUpToTheLimitAndStartsOverAfterAReset) {
  zeroconf::retry_backoff backoff;
  const zeroconf::retry_delays defaults;
  std::vector<int64_t> delays;
  for (int attempt = 0; attempt < 7; ++attempt) {
    delays.push_back(backoff.next(defaults).count());
  }
  EXPECT_EQ((std::vector<int64_t>{500, 1000, 2000, 4000, 8000, 8000, 8000}), delays);
  backoff.reset();
  EXPECT_EQ(500, backoff.next(defaults).count());
  EXPECT_EQ(30,
            backoff.next(zeroconf::retry_delays{std::chrono::milliseconds(20), std::chrono::milliseconds(30)}).count());
}

TEST(zeroconf_retry_backoff, OnlyAnswersThatMeanTheServiceWentAwayEndAConnection) {
  EXPECT_TRUE(zeroconf::means_service_gone(kDNSServiceErr_Unknown));
  EXPECT_TRUE(zeroconf::means_service_gone(kDNSServiceErr_ServiceNotRunning));
  EXPECT_TRUE(zeroconf::means_service_gone(zeroconf::kDNSServiceErr_DefunctConnection));
  EXPECT_FALSE(zeroconf::means_service_gone(kDNSServiceErr_NameConflict));
  EXPECT_FALSE(zeroconf::means_service_gone(kDNSServiceErr_BadParam));
  EXPECT_FALSE(zeroconf::means_service_gone(kDNSServiceErr_NoError));
}

class zeroconf_reconnect : public fake_library_test {
 protected:
  void SetUp() override {
    fake_library_test::SetUp();
    use_short_retry_delays(client_);
  }

  static void announce(const operation& browse, const char* name) {
    dnssd_fake::reply_browse(browse.ref, kDNSServiceFlagsAdd, 1, 0, name, "_http._tcp.", "local.");
  }

  // Announces and fully answers an instance on the browse.
  void report(const operation& browse, const char* name) {
    announce(browse, name);
    const operation resolve = next(operation_kind::resolve);
    ASSERT_EQ(name, resolve.name.value_or("?"));
    dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, (std::string(name) + "._http._tcp.local.").c_str(), "vm.local.",
                              htons(80), "");
    dnssd_fake::reply_query(next(operation_kind::query_record).ref, kDNSServiceFlagsAdd, 1, 0, "vm.local",
                            kDNSServiceType_A, kDNSServiceClass_IN, std::string("\x0a\x00\x00\x01", 4));
  }

  static void lose_service(const operation& browse) {
    dnssd_fake::reply_browse(browse.ref, 0, 0, kDNSServiceErr_Unknown, nullptr, nullptr, nullptr);
  }
};

TEST_F(zeroconf_reconnect, BrowseReportsItsInstancesRemovedAndStartsAgainOnceTheServiceAnswers) {
  auto listener = std::make_shared<recording_listener>();
  auto handle = client_->browse("", "_http._tcp", "_ravenna", listener, false);
  const operation first = next(operation_kind::browse);
  report(first, "a");
  ASSERT_EQ(1U, listener->wait_for(1).size());
  announce(first, "b");  // announced, its address query still running
  const operation b_resolve = next(operation_kind::resolve);
  dnssd_fake::reply_resolve(b_resolve.ref, 0, 1, 0, "b._http._tcp.local.", "vm.local.", htons(80), "");
  const operation b_query = next(operation_kind::query_record);
  announce(first, "c");
  dnssd_fake::reply_browse(first.ref, 0, 1, 0, "c", "_http._tcp.", "local.");
  const operation c_resolve = next(operation_kind::resolve);
  ASSERT_EQ(2U, listener->wait_for(2).size());  // c removed

  dnssd_fake::set_service_down(true);
  lose_service(first);
  auto events = listener->wait_for(4);
  ASSERT_EQ(4U, events.size());
  EXPECT_FALSE(events[2].resolved);
  EXPECT_EQ("a", events[2].name);
  EXPECT_EQ("_http._tcp.", events[2].regtype);
  EXPECT_EQ(1U, events[2].interface_index);
  EXPECT_FALSE(events[3].resolved);
  EXPECT_EQ("b", events[3].name);
  EXPECT_TRUE(waitUntil([&] { return released(first.ref); }));
  // Open resolves and address queries go with the loss, before the library reports it on them.
  EXPECT_TRUE(released(b_query.ref));
  EXPECT_TRUE(released(c_resolve.ref));

  // Attempts while the service is away fail and are repeated with growing waits.
  EXPECT_TRUE(waitUntil([] { return dnssd_fake::refused_starts() >= 3; }));
  dnssd_fake::set_service_down(false);
  const operation second = next(operation_kind::browse);
  EXPECT_EQ("_http._tcp,_ravenna", second.regtype.value_or("?"));
  EXPECT_EQ(first.flags, second.flags);
  EXPECT_EQ(first.interface_index, second.interface_index);
  EXPECT_FALSE(second.domain.has_value());
  report(second, "d");
  events = listener->wait_for(5);
  ASSERT_EQ(5U, events.size());
  EXPECT_TRUE(events[4].resolved);
  EXPECT_EQ("d", events[4].name);

  const std::string log = output();
  EXPECT_NE(std::string::npos, log.find(" zeroconf_category: errorCode = -65537\n"));
  EXPECT_NE(std::string::npos, log.find("browse _http._tcp,_ravenna: DNS-SD service lost; starting again in 20 ms\n"));
  EXPECT_NE(std::string::npos, log.find("starting again in 40 ms\n"));
  EXPECT_NE(std::string::npos, log.find("browse _http._tcp,_ravenna: started again\n"));
  handle.reset();
  EXPECT_TRUE(waitUntil([&] { return released(second.ref); }));
}

TEST_F(zeroconf_reconnect, FilteredBrowseReportsOnlyItsNameRemoved) {
  auto listener = std::make_shared<recording_listener>();
  auto handle = client_->browse("x", "_http._tcp", "", listener, false);
  const operation first = next(operation_kind::browse);
  announce(first, "y");
  report(first, "x");
  ASSERT_EQ(1U, listener->wait_for(1).size());
  lose_service(first);
  const auto events = listener->wait_for(3, 300ms);
  ASSERT_EQ(2U, events.size());
  EXPECT_FALSE(events[1].resolved);
  EXPECT_EQ("x", events[1].name);
  next(operation_kind::browse);
}

TEST_F(zeroconf_reconnect, ProcessingThatSaysTheServiceWentAwayEndsTheConnection) {
  auto listener = std::make_shared<recording_listener>();
  auto handle = client_->browse("", "_http._tcp", "", listener, false);
  const operation first = next(operation_kind::browse);
  report(first, "a");
  ASSERT_EQ(1U, listener->wait_for(1).size());
  dnssd_fake::set_process_result(kDNSServiceErr_ServiceNotRunning);
  dnssd_fake::reply_browse(first.ref, 0, 1, 0, "gone", "_http._tcp.", "local.");
  const auto events = listener->wait_for(3);
  ASSERT_EQ(3U, events.size());
  EXPECT_EQ("gone", events[1].name);
  EXPECT_FALSE(events[2].resolved);
  EXPECT_EQ("a", events[2].name);
  EXPECT_TRUE(waitUntil([&] { return released(first.ref); }));
  dnssd_fake::set_process_result(0);
  const operation second = next(operation_kind::browse);
  report(second, "b");
  EXPECT_EQ(4U, listener->wait_for(4).size());
  EXPECT_LE(1U, count_of(output(), "DNSServiceProcessResult returned -65563\n"));
}

TEST_F(zeroconf_reconnect, OtherErrorAnswersLeaveTheBrowseRunning) {
  auto listener = std::make_shared<recording_listener>();
  auto handle = client_->browse("", "_http._tcp", "", listener, false);
  const operation browse = next(operation_kind::browse);
  report(browse, "a");
  ASSERT_EQ(1U, listener->wait_for(1).size());
  dnssd_fake::reply_browse(browse.ref, 0, 0, kDNSServiceErr_Invalid, nullptr, nullptr, nullptr);
  output_until("errorCode = -65549\n");
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(released(browse.ref));
  EXPECT_EQ(1U, listener->events().size());
  EXPECT_FALSE(dnssd_fake::wait_for_kind(operation_kind::browse, 1, 100ms).has_value());
}

TEST_F(zeroconf_reconnect, WaitsDoubleUpToTheLimitWhileTheServiceStaysAway) {
  auto listener = std::make_shared<recording_listener>();
  auto handle = client_->browse("", "_http._tcp", "", listener, false);
  const operation first = next(operation_kind::browse);
  dnssd_fake::set_service_down(true);
  const int refused_before = dnssd_fake::refused_starts();
  lose_service(first);
  std::this_thread::sleep_for(700ms);
  const int attempts = dnssd_fake::refused_starts() - refused_before;
  // 20 + 40 + 80 ms, then every 80 ms (plus up to one 100 ms poll cycle each): 4 to 10 in 0.7 s.
  EXPECT_GE(attempts, 4);
  EXPECT_LE(attempts, 10);
  const std::string log = output();
  EXPECT_EQ(1U, count_of(log, "starting again in 20 ms\n"));
  EXPECT_EQ(1U, count_of(log, "starting again in 40 ms\n"));
  EXPECT_GE(count_of(log, "starting again in 80 ms\n"), 2U);
  dnssd_fake::set_service_down(false);
  next(operation_kind::browse);
}

TEST_F(zeroconf_reconnect, ReleasedBrowseIsNotStartedAgain) {
  auto listener = std::make_shared<recording_listener>();
  auto handle = client_->browse("", "_http._tcp", "", listener, false);
  const operation first = next(operation_kind::browse);
  dnssd_fake::set_service_down(true);
  lose_service(first);
  EXPECT_TRUE(waitUntil([&] { return released(first.ref); }));
  handle.reset();
  dnssd_fake::set_service_down(false);
  EXPECT_FALSE(dnssd_fake::wait_for_kind(operation_kind::browse, 1, 300ms).has_value());
}

// A browse started before the daemon runs waits for it as after a loss; released, it never starts.
TEST_F(zeroconf_reconnect, BrowseStartedWithoutTheServiceStartsOnceItAnswers) {
  auto listener = std::make_shared<recording_listener>();
  dnssd_fake::set_service_down(true);
  const int refused_before = dnssd_fake::refused_starts();
  auto handle = client_->browse("", "_http._tcp", "_ravenna", listener, false);
  ASSERT_NE(nullptr, handle);
  EXPECT_NE(std::string::npos, output().find("[0]   _http._tcp; runtime error DNSServiceBrowse() failed (-65537).\n"));
  EXPECT_TRUE(waitUntil([&] { return dnssd_fake::refused_starts() - refused_before >= 3; }));
  dnssd_fake::set_service_down(false);
  const operation started = next(operation_kind::browse);
  EXPECT_EQ("_http._tcp,_ravenna", started.regtype.value_or("?"));
  report(started, "a");
  ASSERT_EQ(1U, listener->wait_for(1).size());
  EXPECT_NE(std::string::npos, output().find("browse _http._tcp,_ravenna: started again\n"));
  handle.reset();
  EXPECT_TRUE(waitUntil([&] { return released(started.ref); }));

  dnssd_fake::set_service_down(true);
  auto waiting = client_->browse("", "_http._tcp", "", listener, false);
  ASSERT_NE(nullptr, waiting);
  waiting.reset();
  dnssd_fake::set_service_down(false);
  EXPECT_FALSE(dnssd_fake::wait_for_kind(operation_kind::browse, 1, 300ms).has_value());
}

class zeroconf_reconnect_registration : public zeroconf_reconnect {
 protected:
  std::shared_ptr<zeroconf::service> start_registration() {
    return client_->register_service("_lumora_reg", "_http._tcp", 8123, {"_ravenna"}, {"master:1"},
                                     recorder_.callback());
  }
  std::vector<int> states() { return recorder_.states(); }
  static size_t registrations_started() {
    size_t count = 0;
    for (const operation& started : dnssd_fake::operations()) {
      count += started.kind == operation_kind::register_service ? 1 : 0;
    }
    return count;
  }

 private:
  state_recorder recorder_;
};

TEST_F(zeroconf_reconnect_registration, RegistrationIsMadeAgainOnceTheServiceAnswers) {
  auto handle = start_registration();
  const operation first = next(operation_kind::register_service);
  dnssd_fake::reply_register(first.ref, 0, 0, "_lumora_reg", "_http._tcp.", "local.");
  ASSERT_TRUE(waitUntil([&] { return states().size() == 1; }));
  dnssd_fake::set_service_down(true);
  dnssd_fake::reply_register(first.ref, 0, kDNSServiceErr_Unknown, "_lumora_reg", "_http._tcp.", "local.");
  ASSERT_TRUE(waitUntil([&] { return states().size() == 2; }));
  EXPECT_TRUE(waitUntil([&] { return released(first.ref); }));
  EXPECT_TRUE(waitUntil([] { return dnssd_fake::refused_starts() >= 2; }));
  dnssd_fake::set_service_down(false);
  const operation second = next(operation_kind::register_service);
  EXPECT_EQ(first.name, second.name);
  EXPECT_EQ(first.regtype, second.regtype);
  EXPECT_EQ(first.port_network_order, second.port_network_order);
  EXPECT_EQ(first.txt, second.txt);
  EXPECT_EQ(first.flags, second.flags);
  dnssd_fake::reply_register(second.ref, 0, 0, "_lumora_reg", "_http._tcp.", "local.");
  ASSERT_TRUE(waitUntil([&] { return states().size() == 3; }));
  EXPECT_EQ((std::vector<int>{zeroconf::registered, zeroconf::failed, zeroconf::registered}), states());
  EXPECT_NE(std::string::npos, output().find("bonjour_service failed (-65537)\n"));
  handle.reset();
  EXPECT_TRUE(waitUntil([&] { return released(second.ref); }));
}

TEST_F(zeroconf_reconnect_registration, ProcessingThatSaysTheServiceWentAwayRegistersAgain) {
  auto handle = start_registration();
  const operation first = next(operation_kind::register_service);
  dnssd_fake::set_process_result(kDNSServiceErr_ServiceNotRunning);
  dnssd_fake::reply_register(first.ref, 0, 0, "_lumora_reg", "_http._tcp.", "local.");
  ASSERT_TRUE(waitUntil([&] { return states().size() == 2; }));
  dnssd_fake::set_process_result(0);
  EXPECT_TRUE(waitUntil([&] { return released(first.ref); }));
  const operation second = next(operation_kind::register_service);
  dnssd_fake::reply_register(second.ref, 0, 0, "_lumora_reg", "_http._tcp.", "local.");
  ASSERT_TRUE(waitUntil([&] { return states().size() == 3; }));
  EXPECT_EQ((std::vector<int>{zeroconf::registered, zeroconf::failed, zeroconf::registered}), states());
  EXPECT_NE(std::string::npos, output().find("bonjour_service failed (-65563)\n"));
}

TEST_F(zeroconf_reconnect_registration, WithdrawnRegistrationIsNotMadeAgain) {
  auto handle = start_registration();
  const operation first = next(operation_kind::register_service);
  dnssd_fake::set_service_down(true);
  dnssd_fake::reply_register(first.ref, 0, kDNSServiceErr_Unknown, "_lumora_reg", "_http._tcp.", "local.");
  ASSERT_TRUE(waitUntil([&] { return states().size() == 1; }));
  handle.reset();
  const size_t started = registrations_started();
  dnssd_fake::set_service_down(false);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(started, registrations_started());
}

using zeroconf_reconnect_hostname = zeroconf_reconnect;

TEST_F(zeroconf_reconnect_hostname, LookupReportsTheHostRemovedAndStartsAgain) {
  auto listener = std::make_shared<recording_hostname_listener>();
  auto handle = client_->browse_hostname("vm.local.", listener);
  const operation first = next(operation_kind::get_addr_info);
  dnssd_fake::reply_addrinfo(first.ref, kDNSServiceFlagsAdd, 2, 0, "vm.local.", "10.0.0.9");
  ASSERT_EQ(1U, listener->wait_for(1).size());
  dnssd_fake::reply_addrinfo(first.ref, 0, 0, kDNSServiceErr_Unknown, nullptr, "");
  const auto events = listener->wait_for(2);
  ASSERT_EQ(2U, events.size());
  EXPECT_FALSE(events[1].resolved);
  EXPECT_EQ("vm.local.", events[1].host_name);
  EXPECT_EQ(2U, events[1].interface_index);
  const operation second = next(operation_kind::get_addr_info);
  EXPECT_EQ("vm.local.", second.name.value_or("?"));
  dnssd_fake::reply_addrinfo(second.ref, kDNSServiceFlagsAdd, 2, 0, "vm.local.", "10.0.0.9");
  EXPECT_EQ(3U, listener->wait_for(3).size());
}

}  // namespace
}  // namespace zeroconf_test
