// Browsing and resolving against the fake library.

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include "zeroconf/src/bonjour_client.h"

#include "zeroconf/src/monotonic_clock.h"
#include "zeroconf/tests/fake_fixture.h"

namespace zeroconf_test {
namespace {

using dnssd_fake::operation;
using dnssd_fake::operation_kind;

const std::string kTxtMaster = std::string("\x08", 1) + "master:1";

class zeroconf_browse : public fake_library_test {
 protected:
  std::shared_ptr<zeroconf::browser> start_browse(const std::string& filter = "", bool reconfirm = false) {
    auto handle = client_->browse(filter, "_http._tcp", "_ravenna", listener_, reconfirm);
    browse_ = next(operation_kind::browse);
    return handle;
  }

  // Announces an instance; gives its resolve.
  operation announce(const char* name) {
    dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, name, "_http._tcp.", "local.");
    return next(operation_kind::resolve);
  }

  // Announces an instance and answers its resolve; gives the address query.
  operation resolve_instance(const char* name, const char* full_name, uint16_t port = 8123,
                             const std::string& txt = kTxtMaster) {
    const operation resolve = announce(name);
    dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, full_name, "vm.local.", htons(port), txt);
    return next(operation_kind::query_record);
  }

  static void answer_address(const operation& query, const char* bytes = "\x7f\x00\x00\x01") {
    dnssd_fake::reply_query(query.ref, kDNSServiceFlagsAdd, 1, 0, "vm.local", kDNSServiceType_A, kDNSServiceClass_IN,
                            std::string(bytes, 4));
  }

  std::shared_ptr<recording_listener> listener_ = std::make_shared<recording_listener>();
  operation browse_;
};

TEST_F(zeroconf_browse, RegistrationTypeCarriesTheSubtypeAfterAComma) {
  auto with_subtype = start_browse();
  EXPECT_EQ("_http._tcp,_ravenna", browse_.regtype.value_or("?"));
  EXPECT_EQ(0U, browse_.flags);
  EXPECT_FALSE(browse_.domain.has_value());
  auto plain = client_->browse("", "_http._tcp", "", listener_, false);
  EXPECT_EQ("_http._tcp", next(operation_kind::browse).regtype.value_or("?"));
}

TEST_F(zeroconf_browse, BrowseWithDomainRunsOnAllInterfaces) {
  auto on_three = make_client(3);
  auto handle = on_three->browse("", "_http._tcp", "", "_ravenna", listener_, false);
  const operation browse = next(operation_kind::browse);
  EXPECT_EQ(0U, browse.interface_index);
  EXPECT_EQ("", browse.domain.value_or("null"));
  EXPECT_EQ("_http._tcp,_ravenna", browse.regtype.value_or("?"));
}

TEST_F(zeroconf_browse, StartFailureGivesAnEmptyHandleAndALine) {
  dnssd_fake::fail_next("DNSServiceBrowse", kDNSServiceErr_Unsupported);
  EXPECT_EQ(nullptr, client_->browse("", "_http._tcp", "_ravenna", listener_, false));
  EXPECT_NE(std::string::npos, output().find("[0]   _http._tcp; runtime error DNSServiceBrowse() failed (-65544).\n"));
}

TEST_F(zeroconf_browse, AppearingInstanceIsResolvedAddressedAndReported) {
  auto handle = start_browse();
  dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, "_lumora a.b\\c", "_http._tcp.", "local.");
  const operation resolve = next(operation_kind::resolve);
  EXPECT_EQ(0U, resolve.flags);
  EXPECT_EQ(1U, resolve.interface_index);
  EXPECT_EQ("_lumora a.b\\c", resolve.name.value_or("?"));
  EXPECT_EQ("_http._tcp.", resolve.regtype.value_or("?"));
  EXPECT_EQ("local.", resolve.domain.value_or("?"));

  dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, "_lumora\\032a\\.b\\\\c._http._tcp.local.", "vm.local.", htons(8123),
                            kTxtMaster + std::string("\x00", 1));
  const operation query = next(operation_kind::query_record);
  EXPECT_TRUE(released(resolve.ref));
  EXPECT_EQ("vm.local.", query.name.value_or("?"));
  EXPECT_EQ(0U, query.flags);
  EXPECT_EQ(kDNSServiceType_A, query.record_type);
  EXPECT_EQ(kDNSServiceClass_IN, query.record_class);

  answer_address(query, "\xc0\xa8\xc8\xfa");
  const auto events = listener_->wait_for(1);
  ASSERT_EQ(1U, events.size());
  EXPECT_TRUE(events[0].resolved);
  EXPECT_EQ(1U, events[0].interface_index);
  EXPECT_EQ("_lumora a.b\\c", events[0].name);
  EXPECT_EQ("_http._tcp.", events[0].regtype);
  EXPECT_EQ("vm.local.", events[0].host_name);
  EXPECT_EQ("192.168.200.250", events[0].address);
  EXPECT_EQ(8123, events[0].port);
  EXPECT_EQ((std::vector<std::string>{"master:1", ""}), events[0].txt);
  EXPECT_TRUE(waitUntil([&] { return released(query.ref); }));
  EXPECT_TRUE(dnssd_fake::reconfirm_calls().empty());
}

TEST_F(zeroconf_browse, RemovalIsReportedAtOnceWithTheBrowseName) {
  auto handle = start_browse();
  dnssd_fake::reply_browse(browse_.ref, 0, 2, 0, "_lumora\\032raw", "_http._tcp.", "local.");
  const auto events = listener_->wait_for(1);
  ASSERT_EQ(1U, events.size());
  EXPECT_FALSE(events[0].resolved);
  EXPECT_EQ(2U, events[0].interface_index);
  EXPECT_EQ("_lumora\\032raw", events[0].name);
  EXPECT_EQ("_http._tcp.", events[0].regtype);
  EXPECT_FALSE(dnssd_fake::wait_for_kind(operation_kind::resolve, 0, 100ms).has_value());
}

TEST_F(zeroconf_browse, NameFilterDropsOtherNamesAndStaleResolves) {
  auto handle = start_browse("_lumora_x");
  dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, "_lumora_y", "_http._tcp.", "local.");
  dnssd_fake::reply_browse(browse_.ref, 0, 1, 0, "_lumora_y", "_http._tcp.", "local.");
  dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, "_lumora_x", "_http._tcp.", "local.");
  const operation first = next(operation_kind::resolve);
  dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, "_lumora_x", "_http._tcp.", "local.");
  const operation second = next(operation_kind::resolve);
  EXPECT_EQ("_lumora_x", first.name.value_or("?"));

  dnssd_fake::reply_resolve(first.ref, 0, 1, 0, "_lumora_x._http._tcp.local.", "old.local.", htons(1), "");
  answer_address(next(operation_kind::query_record));
  dnssd_fake::reply_resolve(second.ref, 0, 1, 0, "_lumora_x._http._tcp.local.", "new.local.", htons(2), "");
  answer_address(next(operation_kind::query_record));
  const auto events = listener_->wait_for(2, 500ms);
  ASSERT_EQ(1U, events.size());
  EXPECT_EQ("new.local.", events[0].host_name);
  EXPECT_EQ("_lumora_x", events[0].name);
}

TEST_F(zeroconf_browse, ErrorAnswersWithNullTextsEndTheResolveWithoutCrashing) {
  auto handle = start_browse();
  dnssd_fake::reply_browse(browse_.ref, 0, 0, kDNSServiceErr_Invalid, nullptr, nullptr, nullptr);
  const operation resolve = announce("a");
  dnssd_fake::reply_resolve(resolve.ref, 0, 0, kDNSServiceErr_Unknown, nullptr, nullptr, 0, "");
  EXPECT_TRUE(waitUntil([&] { return released(resolve.ref); }));

  const operation query = resolve_instance("b", "b._http._tcp.local.");
  dnssd_fake::reply_query(query.ref, 0, 0, kDNSServiceErr_Unknown, nullptr, 0, 0, "");
  EXPECT_TRUE(waitUntil([&] { return released(query.ref); }));
  EXPECT_EQ(1U, count_of(output(), " zeroconf_category: errorCode = -65549\n"));
  EXPECT_EQ(2U, count_of(output(), " zeroconf_category: errorCode = -65537\n"));
  EXPECT_TRUE(listener_->events().empty());
}

TEST_F(zeroconf_browse, NonIpv4AnswerIsLoggedAndTheResolveKeepsWaiting) {
  auto handle = start_browse();
  const operation query = resolve_instance("a", "a._http._tcp.local.");
  dnssd_fake::reply_query(query.ref, kDNSServiceFlagsAdd, 1, 0, "vm.local", 28, 1, std::string(16, '\x01'));
  output_until("Bonjour DNSServiceQueryRecord IPV6 unmanaged qr_reply!\n");
  EXPECT_FALSE(released(query.ref));
  answer_address(query);
  EXPECT_EQ("127.0.0.1", listener_->wait_for(1).at(0).address);
}

TEST_F(zeroconf_browse, ListenerFailureLeavesTheResolveWaitingForAnotherAddress) {
  auto handle = start_browse();
  const operation query = resolve_instance("a", "a._http._tcp.local.");
  std::atomic<bool> fail{true};
  listener_->on_event = [&](const browse_event&) {
    if (fail.exchange(false)) {
      throw std::runtime_error("listener failed");
    }
  };
  answer_address(query);
  output_until("exception in DNSServiceProcessResult\n");
  EXPECT_FALSE(released(query.ref));
  answer_address(query, "\x0a\x00\x00\x02");
  const auto events = listener_->wait_for(2);
  ASSERT_EQ(2U, events.size());
  EXPECT_EQ("10.0.0.2", events[1].address);
  EXPECT_TRUE(waitUntil([&] { return released(query.ref); }));
}

TEST_F(zeroconf_browse, ReconfirmSendsTheAnswerBackToTheDaemon) {
  auto handle = start_browse("", true);
  const operation query = resolve_instance("a", "a._http._tcp.local.");
  answer_address(query, "\x0a\x00\x00\x07");
  ASSERT_EQ(1U, listener_->wait_for(1).size());
  const auto calls = dnssd_fake::reconfirm_calls();
  ASSERT_EQ(1U, calls.size());
  EXPECT_EQ(kDNSServiceFlagsForce, calls[0].flags);
  EXPECT_EQ(1U, calls[0].interface_index);
  EXPECT_EQ("vm.local", calls[0].full_name);
  EXPECT_EQ(kDNSServiceType_A, calls[0].record_type);
  EXPECT_EQ(kDNSServiceClass_IN, calls[0].record_class);
  EXPECT_EQ(std::string("\x0a\x00\x00\x07", 4), calls[0].data);
  EXPECT_NE(std::string::npos,
            output().find("vm.local seems out dated -> force daemon to verify the validity of this record\n"));
}

std::atomic<int64_t> fake_now{0};
int64_t fake_clock() { return fake_now.load(); }

TEST_F(zeroconf_browse, UnansweredQueryIsDroppedAfter300Seconds) {
  fake_now = 1000;
  zeroconf::set_monotonic_clock(&fake_clock);
  // Only the age check is under test here, not the shorter limit of an address query.
  std::static_pointer_cast<zeroconf::bonjour_client>(client_)->set_address_query_limit(std::chrono::hours(1));
  auto handle = start_browse();
  const operation query = resolve_instance("a", "a._http._tcp.local.");
  // Replies run in order: once this removal is reported the resolve answer is fully handled.
  dnssd_fake::reply_browse(browse_.ref, 0, 1, 0, "b", "_http._tcp.", "local.");
  ASSERT_EQ(1U, listener_->wait_for(1).size());
  // A browse listed after the resolver lets the resolver's idle hook run when it is ready.
  auto later_listener = std::make_shared<recording_listener>();
  auto later = client_->browse("", "_other._tcp", "", later_listener, false);
  const operation later_browse = next(operation_kind::browse);

  fake_now = 1000 + 299'000'000'000LL;
  dnssd_fake::reply_browse(later_browse.ref, 0, 1, 0, "x", "_other._tcp.", "local.");
  ASSERT_EQ(1U, later_listener->wait_for(1).size());
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(released(query.ref));

  fake_now = 1000 + 300'000'000'000LL;
  dnssd_fake::reply_browse(later_browse.ref, 0, 1, 0, "x", "_other._tcp.", "local.");
  const std::string log = output_until("We need to clean up the leftover socket");
  EXPECT_NE(std::string::npos,
            log.find("Bonjour has left a query incomplete. We need to clean up the leftover socket: " +
                     std::to_string(query.socket_fd) + "\n"));
  EXPECT_TRUE(waitUntil([&] { return released(query.ref); }));
  zeroconf::set_monotonic_clock(nullptr);
  EXPECT_EQ(1U, listener_->events().size());
}

TEST_F(zeroconf_browse, ResolveStartFailureReportsNothing) {
  auto handle = start_browse();
  dnssd_fake::fail_next("DNSServiceResolve", kDNSServiceErr_BadParam);
  dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, "a", "_http._tcp.", "local.");
  EXPECT_NE(std::string::npos, output_until("DNSServiceResolve() failed")
                                   .find(" zeroconf_category: DNSServiceResolve() failed (-65540)\n"));
  EXPECT_TRUE(listener_->events().empty());
}

TEST_F(zeroconf_browse, QueryStartFailureWithBadParamPrintsTheCallArguments) {
  auto handle = start_browse();
  dnssd_fake::fail_next("DNSServiceQueryRecord", kDNSServiceErr_BadParam);
  const operation resolve = announce("a");
  dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, "a._http._tcp.local.", "vm.local.", htons(80), kTxtMaster);
  const std::string log = output_until("DNSServiceQueryRecord(0x");
  EXPECT_NE(std::string::npos, log.find(" zeroconf_category: DNSServiceQueryRecord failed (-65540)\n"));
  const std::regex lines(
      "DNSServiceQueryRecord failed \\(-65540 = wrong parameters\\)\n"
      "resolve_reply\\(n/a, 0, a\\._http\\._tcp\\.local\\., vm\\.local\\., 20480, 9, 0x[0-9a-f]+, (0x[0-9a-f]+)\\)\n"
      "DNSServiceQueryRecord\\(0x[0-9a-f]+, 0, 1, vm\\.local\\., 1, 1, 0x[0-9a-f]+, (0x[0-9a-f]+)\\)\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match, lines)) << log;
  EXPECT_EQ(match[1].str(), match[2].str());
  EXPECT_TRUE(waitUntil([&] { return released(resolve.ref); }));
  EXPECT_TRUE(listener_->events().empty());
}

TEST_F(zeroconf_browse, QueryStartFailureWithOtherCodePrintsTheCodeTwice) {
  auto handle = start_browse();
  dnssd_fake::fail_next("DNSServiceQueryRecord", kDNSServiceErr_Unknown);
  const operation resolve = announce("a");
  dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, "a._http._tcp.local.", "vm.local.", htons(80), "");
  EXPECT_TRUE(waitUntil([&] { return count_of(output(), "DNSServiceQueryRecord failed (-65537)\n") == 2; }));
  EXPECT_EQ(std::string::npos, output().find("wrong parameters"));
  EXPECT_TRUE(listener_->events().empty());
}

TEST_F(zeroconf_browse, ResolveReportsAfterTheBrowseHandleWasReleased) {
  auto handle = start_browse();
  const operation query = resolve_instance("a", "a._http._tcp.local.");
  std::weak_ptr<recording_listener> watched = listener_;
  auto listener = std::move(listener_);
  handle.reset();
  EXPECT_TRUE(waitUntil([&] { return released(browse_.ref); }));
  listener.reset();
  EXPECT_FALSE(watched.expired());  // the resolve keeps it
  answer_address(query);
  EXPECT_TRUE(waitUntil([&] { return watched.expired(); }));
}

TEST_F(zeroconf_browse, FullNameWithoutDotIsRejectedAndTheResolveStays) {
  auto handle = start_browse();
  const operation resolve = announce("a");
  dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, "no\\.dot", "vm.local.", htons(80), "");
  output_until("exception in DNSServiceProcessResult\n");
  EXPECT_FALSE(released(resolve.ref));
  dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, nullptr, "vm.local.", htons(80), "");
  EXPECT_TRUE(waitUntil([&] { return count_of(output(), "exception in DNSServiceProcessResult\n") == 2; }));
  EXPECT_FALSE(released(resolve.ref));
}

// avahi gives up a resolve whose host is slow to answer (a busy host, lossy Wi-Fi): it is asked
// for again, with the back-off, for as long as the browse sees the instance.
TEST_F(zeroconf_browse, FailedResolvesAreAskedForAgainWhileTheInstanceIsPresent) {
  use_short_retry_delays(client_);
  auto handle = start_browse();
  const operation first = announce("a");
  dnssd_fake::reply_resolve(first.ref, 0, 0, kDNSServiceErr_Unknown, nullptr, nullptr, 0, "");
  const operation second = next(operation_kind::resolve);
  EXPECT_EQ("a", second.name.value_or("?"));
  dnssd_fake::reply_resolve(second.ref, 0, 1, 0, "a._http._tcp.local.", "vm.local.", htons(80), "");
  dnssd_fake::reply_query(next(operation_kind::query_record).ref, 0, 0, kDNSServiceErr_Unknown, nullptr, 0, 0, "");
  const operation third = next(operation_kind::resolve);
  dnssd_fake::reply_resolve(third.ref, 0, 1, 0, "a._http._tcp.local.", "vm.local.", htons(80), "");
  answer_address(next(operation_kind::query_record));
  const auto events = listener_->wait_for(1);
  ASSERT_EQ(1U, events.size());
  EXPECT_TRUE(events[0].resolved);

  // Once the instance is gone its failed resolve is not asked for again.
  const operation fourth = announce("b");
  dnssd_fake::reply_browse(browse_.ref, 0, 1, 0, "b", "_http._tcp.", "local.");
  ASSERT_EQ(2U, listener_->wait_for(2).size());
  dnssd_fake::reply_resolve(fourth.ref, 0, 0, kDNSServiceErr_Unknown, nullptr, nullptr, 0, "");
  EXPECT_TRUE(waitUntil([&] { return released(fourth.ref); }));
  std::this_thread::sleep_for(200ms);  // several back-offs
  const auto operations = dnssd_fake::operations();
  EXPECT_EQ(1, std::count_if(operations.begin(), operations.end(), [](const operation& started) {
              return started.kind == operation_kind::resolve && started.name == std::optional<std::string>("b");
            }));
}

// A host that never answers its address query (IPv6 only, gone) holds no query for long.
TEST_F(zeroconf_browse, AddressQueryWithoutAnswerEndsAfterItsLimitAndIsAskedForAgain) {
  use_short_retry_delays(client_);
  std::static_pointer_cast<zeroconf::bonjour_client>(client_)->set_address_query_limit(100ms);
  auto handle = start_browse();
  const operation query = resolve_instance("a", "a._http._tcp.local.");
  EXPECT_TRUE(waitUntil([&] { return released(query.ref); }));
  EXPECT_NE(std::string::npos, output_until("no address for vm.local. after 100 ms; resolving it again later\n")
                                   .find("no address for vm.local. after 100 ms"));
  const operation again = next(operation_kind::resolve);
  EXPECT_EQ("a", again.name.value_or("?"));
  EXPECT_TRUE(listener_->events().empty());
}

// A followed instance is resolved again every period, so a new address reaches the listener although
// the browse reports nothing new; following ends on request.
TEST_F(zeroconf_browse, FollowedInstanceReportsItsNewAddress) {
  std::static_pointer_cast<zeroconf::bonjour_client>(client_)->set_follow_period(50ms);
  auto handle = start_browse();
  answer_address(resolve_instance("a", "a._http._tcp.local."), "\x0a\x00\x00\x01");
  ASSERT_EQ(1U, listener_->wait_for(1).size());
  handle->follow(1, "a");
  const operation again = next(operation_kind::resolve);
  EXPECT_EQ("a", again.name.value_or("?"));
  dnssd_fake::reply_resolve(again.ref, 0, 1, 0, "a._http._tcp.local.", "vm.local.", htons(8123), kTxtMaster);
  answer_address(next(operation_kind::query_record), "\x0a\x00\x00\x02");
  const auto events = listener_->wait_for(2);
  ASSERT_EQ(2U, events.size());
  EXPECT_EQ("10.0.0.2", events[1].address);

  handle->follow(0, "");
  const size_t started = dnssd_fake::operations().size();
  std::this_thread::sleep_for(300ms);  // six periods
  size_t resolves = 0;
  const auto operations = dnssd_fake::operations();
  for (size_t index = started; index < operations.size(); ++index) {
    resolves += operations[index].kind == operation_kind::resolve ? 1 : 0;
  }
  EXPECT_LE(resolves, 1U);  // at most one already under way when the following ended
}

// No DNS-SD call on the caller's thread: the handle comes at once, the browse starts on the poll
// thread once the service answers, and says whether it runs.
TEST_F(zeroconf_browse, BackgroundBrowseStartsOnThePollThreadAndSaysWhetherItRuns) {
  use_short_retry_delays(client_);
  dnssd_fake::set_service_down(true);
  auto handle = client_->browse_in_background("_http._tcp", "_ravenna", "_lumora", listener_);
  ASSERT_NE(nullptr, handle);
  EXPECT_FALSE(handle->running());
  EXPECT_NE(std::string::npos, output_until("DNSServiceBrowse() failed (-65537)").find("DNSServiceBrowse() failed"));
  dnssd_fake::set_service_down(false);
  browse_ = next(operation_kind::browse);
  EXPECT_EQ("_http._tcp,_ravenna", browse_.regtype.value_or("?"));
  EXPECT_TRUE(waitUntil([&] { return handle->running(); }));
  // Only names with the prefix are resolved and reported.
  dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, "device-1", "_http._tcp.", "local.");
  dnssd_fake::reply_browse(browse_.ref, 0, 1, 0, "device-1", "_http._tcp.", "local.");
  answer_address(resolve_instance("_lumora_a", "_lumora_a._http._tcp.local."));
  const auto events = listener_->wait_for(1);
  ASSERT_EQ(1U, events.size());
  EXPECT_EQ("_lumora_a", events[0].name);
  dnssd_fake::set_service_down(true);
  dnssd_fake::reply_browse(browse_.ref, 0, 0, kDNSServiceErr_Unknown, nullptr, nullptr, nullptr);
  EXPECT_TRUE(waitUntil([&] { return !handle->running(); }));
  dnssd_fake::set_service_down(false);
}

}  // namespace
}  // namespace zeroconf_test
