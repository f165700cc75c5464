// Resolves in flight are bounded per client and a resolve that could not start is tried again
// (fake library).

#include <arpa/inet.h>

#include "zeroconf/src/resolve_gate.h"
#include "zeroconf/tests/fake_fixture.h"

namespace zeroconf_test {
namespace {

using dnssd_fake::operation;
using dnssd_fake::operation_kind;

class zeroconf_resolve_limit : public fake_library_test {
 protected:
  void SetUp() override {
    fake_library_test::SetUp();
    use_short_retry_delays(client_);
    handle_ = client_->browse("", "_http._tcp", "", listener_, false);
    browse_ = next(operation_kind::browse);
  }

  void announce(const std::string& name) {
    dnssd_fake::reply_browse(browse_.ref, kDNSServiceFlagsAdd, 1, 0, name.c_str(), "_http._tcp.", "local.");
  }
  void remove(const std::string& name) {
    dnssd_fake::reply_browse(browse_.ref, 0, 1, 0, name.c_str(), "_http._tcp.", "local.");
  }

  // The resolve started for `name` (waits for it).
  static std::optional<operation> resolve_of(const std::string& name, std::chrono::milliseconds timeout = 5s) {
    return dnssd_fake::wait_for(
        [&](const operation& started) {
          return started.kind == operation_kind::resolve && started.name == name && started.deallocations == 0;
        },
        timeout);
  }

  // Answers a resolve and its address query.
  static void answer(const operation& resolve, const std::string& name) {
    dnssd_fake::reply_resolve(resolve.ref, 0, 1, 0, (name + "._http._tcp.local.").c_str(), "vm.local.", htons(80), "");
    const auto query = dnssd_fake::wait_for([&](const operation& started) {
      // A context's address may be reused by a later resolve: only a running query counts.
      return started.kind == operation_kind::query_record && started.context == resolve.context &&
             started.deallocations == 0;
    });
    ASSERT_TRUE(query.has_value());
    dnssd_fake::reply_query(query->ref, kDNSServiceFlagsAdd, 1, 0, "vm.local", kDNSServiceType_A, kDNSServiceClass_IN,
                            std::string("\x0a\x00\x00\x01", 4));
  }

  static size_t live_resolves() {
    size_t live = 0;
    for (const operation& started : dnssd_fake::operations()) {
      live += (started.kind == operation_kind::resolve && started.deallocations == 0) ? 1 : 0;
    }
    return live;
  }

  std::shared_ptr<recording_listener> listener_ = std::make_shared<recording_listener>();
  std::shared_ptr<zeroconf::browser> handle_;
  operation browse_;
};

TEST_F(zeroconf_resolve_limit, UnansweredResolvesDoNotKeepALaterServiceFromBeingReported) {
  // Like the message bus, the library refuses connections beyond a limit.
  dnssd_fake::set_max_live_operations(dnssd_fake::live_operations() + 64);
  dnssd_fake::reset_peak_live_operations();
  const size_t live_before = dnssd_fake::live_operations();
  for (int index = 0; index < 100; ++index) {
    announce("slow" + std::to_string(index));  // never answered
  }
  ASSERT_TRUE(resolve_of("slow31").has_value());
  EXPECT_FALSE(resolve_of("slow32", 100ms).has_value());  // waits for a place
  // Unanswered resolves give their places up after their turn.
  std::static_pointer_cast<zeroconf::bonjour_client>(client_)->set_resolve_turn(50ms);
  announce("late");
  const auto late = resolve_of("late", 10s);
  ASSERT_TRUE(late.has_value());
  answer(*late, "late");
  const auto events = listener_->wait_for(1, 5s);
  ASSERT_EQ(1U, events.size());
  EXPECT_EQ("late", events[0].name);
  EXPECT_LE(dnssd_fake::peak_live_operations() - live_before, zeroconf::resolve_gate::kMaxResolvesInFlight);
  EXPECT_LE(live_resolves(), zeroconf::resolve_gate::kMaxResolvesInFlight);
}

TEST_F(zeroconf_resolve_limit, ResolvesBeyondTheBoundStartAsPlacesFreeUp) {
  for (int index = 0; index < 40; ++index) {
    announce("s" + std::to_string(index));
  }
  ASSERT_TRUE(resolve_of("s31").has_value());
  EXPECT_FALSE(resolve_of("s32", 150ms).has_value());
  EXPECT_EQ(zeroconf::resolve_gate::kMaxResolvesInFlight, live_resolves());
  for (int index = 0; index < 8; ++index) {
    const std::string name = "s" + std::to_string(index);
    answer(*resolve_of(name), name);
  }
  for (int index = 32; index < 40; ++index) {
    const std::string name = "s" + std::to_string(index);
    const auto resolve = resolve_of(name);
    ASSERT_TRUE(resolve.has_value()) << name;
    answer(*resolve, name);
  }
  EXPECT_EQ(16U, listener_->wait_for(16).size());
}

TEST_F(zeroconf_resolve_limit, NewestInstanceGetsTheNextFreePlace) {
  for (int index = 0; index < 42; ++index) {
    announce("s" + std::to_string(index));
  }
  ASSERT_TRUE(resolve_of("s31").has_value());
  announce("new");
  EXPECT_FALSE(resolve_of("new", 150ms).has_value());
  answer(*resolve_of("s0"), "s0");
  ASSERT_TRUE(resolve_of("new").has_value());
  EXPECT_FALSE(resolve_of("s32", 150ms).has_value());
}

TEST_F(zeroconf_resolve_limit, ResolveThatCouldNotStartIsTriedAgain) {
  dnssd_fake::fail_next("DNSServiceResolve", kDNSServiceErr_Unknown);
  announce("a");
  output_until("DNSServiceResolve() failed (-65537)\n");
  const auto retried = resolve_of("a");
  ASSERT_TRUE(retried.has_value());
  answer(*retried, "a");
  const auto events = listener_->wait_for(1);
  ASSERT_EQ(1U, events.size());
  EXPECT_EQ("a", events[0].name);
}

TEST_F(zeroconf_resolve_limit, QueryThatCouldNotStartIsResolvedAgain) {
  dnssd_fake::fail_next("DNSServiceQueryRecord", kDNSServiceErr_Unknown);
  announce("a");
  const auto first = resolve_of("a");
  ASSERT_TRUE(first.has_value());
  dnssd_fake::reply_resolve(first->ref, 0, 1, 0, "a._http._tcp.local.", "vm.local.", htons(80), "");
  const auto second = dnssd_fake::wait_for([&](const operation& started) {
    return started.kind == operation_kind::resolve && started.name == std::string("a") && started.ref != first->ref;
  });
  ASSERT_TRUE(second.has_value());
  answer(*second, "a");
  EXPECT_EQ(1U, listener_->wait_for(1).size());
}

TEST_F(zeroconf_resolve_limit, NoRetryOnceTheInstanceIsGone) {
  std::static_pointer_cast<zeroconf::bonjour_client>(client_)->set_retry_delays(zeroconf::retry_delays{100ms, 100ms});
  dnssd_fake::fail_next("DNSServiceResolve", kDNSServiceErr_Unknown);
  announce("a");
  remove("a");
  ASSERT_EQ(1U, listener_->wait_for(1).size());
  EXPECT_FALSE(resolve_of("a", 400ms).has_value());
}

TEST_F(zeroconf_resolve_limit, StartsThatCannotWorkAreNotRepeated) {
  dnssd_fake::fail_next("DNSServiceResolve", kDNSServiceErr_BadParam);
  announce("a");
  output_until("DNSServiceResolve() failed (-65540)\n");
  EXPECT_FALSE(resolve_of("a", 300ms).has_value());
}

}  // namespace
}  // namespace zeroconf_test
