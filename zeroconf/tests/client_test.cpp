// The client and its poll thread, against the fake library.

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <future>

#include "zeroconf/src/dns_service.h"
#include "zeroconf/src/dnssd_binding.h"
#include "zeroconf/tests/fake_fixture.h"

namespace zeroconf_test {
namespace {

using dnssd_fake::operation_kind;

// A bare operation on the client: a browse started through the binding with its own reply
// callback, counting its replies and idle hooks.
class counting_operation : public zeroconf::dns_service {
 public:
  explicit counting_operation(const std::shared_ptr<zeroconf::client>& owner)
      : dns_service(std::static_pointer_cast<zeroconf::bonjour_client>(owner)) {
    EXPECT_EQ(0, zeroconf::DNSServiceBrowse(&sd_ref_, 0, 0, "_t._tcp", nullptr, &counting_operation::reply, this));
    idle_context = this;
    idle_hook = [](void* context) { ++static_cast<counting_operation*>(context)->idle_calls; };
  }

  std::atomic<int> replies{0};
  std::atomic<int> idle_calls{0};

 private:
  static void reply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*, const char*,
                    const char*, void* context) {
    ++static_cast<counting_operation*>(context)->replies;
  }
};

std::shared_ptr<counting_operation> start_counting(const std::shared_ptr<zeroconf::client>& owner) {
  auto operation = std::make_shared<counting_operation>(owner);
  operation->add_dns_service();
  return operation;
}

size_t thread_count() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) {
      count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(tasks);
  }
  return count;
}

void reply_removal(DNSServiceRef ref, const char* name = "x") {
  dnssd_fake::reply_browse(ref, 0, 1, 0, name, "_http._tcp.", "local.");
}

using zeroconf_client = fake_library_test;

TEST_F(zeroconf_client, IdleClientSleepsWithoutQueryingSockets) {
  const int before = dnssd_fake::sock_fd_calls();
  std::this_thread::sleep_for(350ms);
  EXPECT_EQ(before, dnssd_fake::sock_fd_calls());
}

TEST_F(zeroconf_client, NegativeInterfaceIndexMeansAllInterfaces) {
  auto listener = std::make_shared<recording_listener>();
  auto all = make_client(-1);
  auto browse_all = all->browse("", "_http._tcp", "", listener, false);
  EXPECT_EQ(0U, next(operation_kind::browse).interface_index);
  auto third = make_client(3);
  auto browse_third = third->browse("", "_http._tcp", "", listener, false);
  EXPECT_EQ(3U, next(operation_kind::browse).interface_index);
}

TEST_F(zeroconf_client, RepliesRunOnThePollThread) {
  auto listener = std::make_shared<recording_listener>();
  auto handle = client_->browse("", "_http._tcp", "", listener, false);
  const auto browse = next(operation_kind::browse);
  reply_removal(browse.ref, "a");
  reply_removal(browse.ref, "b");
  const auto events = listener->wait_for(2);
  ASSERT_EQ(2U, events.size());
  EXPECT_EQ("a", events[0].name);
  EXPECT_EQ("b", events[1].name);
  EXPECT_NE(std::this_thread::get_id(), events[0].thread);
  EXPECT_EQ(events[0].thread, events[1].thread);
}

TEST_F(zeroconf_client, EntriesAfterTheLastReadyOneGetNoIdleHook) {
  auto first = start_counting(client_);
  auto middle = start_counting(client_);
  auto last = start_counting(client_);
  std::this_thread::sleep_for(250ms);  // time-out cycles run no hooks
  EXPECT_EQ(0, first->idle_calls);
  reply_removal(middle->sd_ref_);
  ASSERT_TRUE(waitUntil([&] { return middle->replies == 1 && first->idle_calls == 1; }));
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(1, first->idle_calls);
  EXPECT_EQ(0, last->idle_calls);
  EXPECT_EQ(0, middle->idle_calls);
  for (const auto& operation : {first, middle, last}) {
    operation->remove_dns_service();
  }
}

TEST_F(zeroconf_client, EntriesWithoutAValidSocketStillGetTheirIdleHook) {
  auto unwatched = start_counting(client_);
  dnssd_fake::set_invalid_socket(unwatched->sd_ref_);
  auto ready = start_counting(client_);
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(0, unwatched->idle_calls);
  reply_removal(ready->sd_ref_);
  EXPECT_TRUE(waitUntil([&] { return ready->replies == 1 && unwatched->idle_calls == 1; }));
  unwatched->remove_dns_service();
  ready->remove_dns_service();
}

TEST_F(zeroconf_client, ProcessResultFailuresAreLoggedExceptBadParam) {
  auto operation = start_counting(client_);
  dnssd_fake::set_process_result(kDNSServiceErr_BadParam);
  reply_removal(operation->sd_ref_);
  ASSERT_TRUE(waitUntil([&] { return operation->replies == 1; }));
  dnssd_fake::set_process_result(kDNSServiceErr_Unknown);
  reply_removal(operation->sd_ref_);
  const std::string log = output_until("DNSServiceProcessResult returned -65537\n");
  EXPECT_EQ(std::string::npos, log.find("returned -65540"));
  EXPECT_EQ(1U, count_of(log, "DNSServiceProcessResult returned"));
  operation->remove_dns_service();
}

TEST_F(zeroconf_client, ListenerExceptionsDoNotStopThePollThread) {
  auto listener = std::make_shared<recording_listener>();
  listener->on_event = [](const browse_event&) { throw std::runtime_error("listener failed"); };
  auto handle = client_->browse("", "_http._tcp", "", listener, false);
  const auto browse = next(operation_kind::browse);
  reply_removal(browse.ref, "a");
  reply_removal(browse.ref, "b");
  EXPECT_EQ(2U, listener->wait_for(2).size());
  EXPECT_TRUE(waitUntil([&] { return count_of(output(), "exception in DNSServiceProcessResult\n") == 2; }));
}

TEST_F(zeroconf_client, RemovingTwiceReleasesTheReferenceOnce) {
  auto operation = start_counting(client_);
  const DNSServiceRef ref = operation->sd_ref_;
  operation->remove_dns_service();
  operation->remove_dns_service();
  operation.reset();
  EXPECT_EQ(1, current(ref).deallocations);
}

TEST_F(zeroconf_client, OperationReleasedWithoutRemovalIsReportedAndPassedOver) {
  auto dropped = start_counting(client_);
  auto kept = start_counting(client_);
  const DNSServiceRef dropped_ref = dropped->sd_ref_;
  dropped.reset();  // its destructor still releases the reference
  const std::string line =
      "dns_service::remove_dns_service: must have been called before shared_ptr's counter reaches 0\n";
  EXPECT_EQ(1U, count_of(output(), line));
  EXPECT_TRUE(released(dropped_ref));
  // The stale entry is passed over silently by the poll thread and reported by later removals.
  reply_removal(kept->sd_ref_);
  ASSERT_TRUE(waitUntil([&] { return kept->replies == 1; }));
  kept->remove_dns_service();
  EXPECT_EQ(2U, count_of(output(), line));
  EXPECT_EQ(std::string::npos, output().find("has been destroyed"));
}

TEST_F(zeroconf_client, InvalidSocketIsReportedEveryCycle) {
  auto operation = start_counting(client_);
  dnssd_fake::set_invalid_socket(operation->sd_ref_);
  std::this_thread::sleep_for(350ms);
  EXPECT_GE(count_of(output(), "Invalid file descriptor or sd_ref_; fd = -1; sd_ref_ = "), 2U);
  operation->remove_dns_service();
}

TEST_F(zeroconf_client, DestroyingFromAnotherThreadWaitsForThePollThread) {
  client_.reset();
  const size_t threads_before = thread_count();
  auto client = make_client(0);
  EXPECT_EQ(threads_before + 1, thread_count());
  auto operation = start_counting(client);
  operation->remove_dns_service();
  operation.reset();
  const auto start = std::chrono::steady_clock::now();
  client.reset();
  // One poll cycle is 100 ms; the bound leaves room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
  EXPECT_EQ(threads_before, thread_count());
}

double median_ms(std::vector<std::chrono::steady_clock::duration> samples) {
  std::sort(samples.begin(), samples.end());
  return std::chrono::duration<double, std::milli>(samples[samples.size() / 2]).count();
}

// The poll thread sleeps until it has work: an idle client never cycles, a new operation is
// watched at once and the client's end is taken at once (a time-out cycle would take up to
// 100 ms each time).
TEST_F(zeroconf_client, PollThreadWakesForNewOperationsAndTheEndOnly) {
  auto listener = std::make_shared<recording_listener>();
  auto idle = client_->browse("", "_idle._tcp", "", listener, false);
  next(operation_kind::browse);
  std::this_thread::sleep_for(50ms);
  const int cycles_before = dnssd_fake::sock_fd_calls();
  std::this_thread::sleep_for(350ms);
  EXPECT_EQ(cycles_before, dnssd_fake::sock_fd_calls());

  std::vector<std::chrono::steady_clock::duration> first_replies;
  std::vector<std::chrono::steady_clock::duration> destructions;
  for (int round = 0; round < 7; ++round) {
    auto client = make_client(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 13 * round));
    auto round_listener = std::make_shared<recording_listener>();
    const auto start = std::chrono::steady_clock::now();
    auto browse = client->browse("", "_http._tcp", "", round_listener, false);
    reply_removal(next(operation_kind::browse).ref);
    ASSERT_EQ(1U, round_listener->wait_for(1).size());
    first_replies.push_back(std::chrono::steady_clock::now() - start);
    browse.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 11 * round));
    const auto end = std::chrono::steady_clock::now();
    client.reset();
    destructions.push_back(std::chrono::steady_clock::now() - end);
  }
  // Medians, so that one slow moment of a loaded machine does not decide.
  EXPECT_LT(median_ms(first_replies), 10.0);
  EXPECT_LT(median_ms(destructions), 10.0);
}

TEST_F(zeroconf_client, DestroyingFromAReplyDoesNotWaitForItself) {
  auto listener = std::make_shared<recording_listener>();
  auto holder = std::make_shared<std::shared_ptr<zeroconf::browser>>();
  listener->on_event = [holder](const browse_event&) { holder->reset(); };
  *holder = client_->browse("", "_http._tcp", "", listener, false);
  const auto browse = next(operation_kind::browse);
  client_.reset();  // the browse alone keeps the client alive now
  reply_removal(browse.ref);
  EXPECT_NE(std::string::npos, output_until("destroyed from poll_thread_\n").find("destroyed from poll_thread_\n"));
  EXPECT_TRUE(waitUntil([&] { return released(browse.ref); }));
}

TEST_F(zeroconf_client, ReleaseDuringProcessingIsHandedToThePollThread) {
  auto listener = std::make_shared<recording_listener>();
  std::promise<void> entered;
  std::promise<void> proceed;
  auto proceed_signal = proceed.get_future().share();
  listener->on_event = [&](const browse_event&) {
    entered.set_value();
    proceed_signal.wait();
  };
  auto handle = client_->browse("", "_http._tcp", "", listener, false);
  const auto browse = next(operation_kind::browse);
  reply_removal(browse.ref);
  entered.get_future().wait();
  handle.reset();  // the poll thread is inside DNSServiceProcessResult of this browse
  EXPECT_FALSE(released(browse.ref));
  proceed.set_value();
  EXPECT_TRUE(waitUntil([&] { return released(browse.ref); }));
  EXPECT_EQ(1, current(browse.ref).deallocations);
}

TEST_F(zeroconf_client, UnownedClientCannotStartOperations) {
  std::unique_ptr<zeroconf::client> unowned(zeroconf::create_client(0));
  EXPECT_THROW(unowned->browse("", "_http._tcp", "", std::make_shared<recording_listener>(), false), std::bad_weak_ptr);
}

TEST_F(zeroconf_client, MoreThan512OperationsOnHighDescriptorsAreWatchedUpToTheCap) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 4096 && limit.rlim_max >= 4096) {
    limit.rlim_cur = 4096;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  // Its line marks the start of every cycle's collection.
  auto cycle_marker = start_counting(client_);
  dnssd_fake::set_invalid_socket(cycle_marker->sd_ref_);
  dnssd_fake::set_high_descriptors(true);
  std::vector<std::shared_ptr<counting_operation>> operations;
  for (int index = 0; index < 600; ++index) {
    operations.push_back(start_counting(client_));
  }
  dnssd_fake::set_high_descriptors(false);
  EXPECT_GT(zeroconf::DNSServiceRefSockFD(operations.front()->sd_ref_), 1024);
  reply_removal(operations.front()->sd_ref_);
  reply_removal(operations[511]->sd_ref_);
  EXPECT_TRUE(waitUntil([&] { return operations.front()->replies == 1 && operations[511]->replies == 1; }));
  // Every operation beyond the cap is reported in each cycle.
  const std::string marker = "Invalid file descriptor or sd_ref_";
  const size_t all_listed = output().size();
  EXPECT_TRUE(waitUntil([&] { return count_of(output().substr(all_listed), marker) >= 3; }));
  const std::string cycles = output().substr(all_listed);
  const size_t first = cycles.find(marker);
  const size_t second = cycles.find(marker, first + 1);
  ASSERT_NE(std::string::npos, second);
  EXPECT_EQ(600U - 512U, count_of(cycles.substr(first, second - first), "fdset too small\n"));
  for (const auto& operation : operations) {
    operation->remove_dns_service();
  }
  cycle_marker->remove_dns_service();
}

}  // namespace
}  // namespace zeroconf_test
