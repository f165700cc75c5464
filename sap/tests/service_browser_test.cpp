#include "sap/impl/service_browser.h"

#include <gtest/gtest.h>

#include "sap/tests/sap_test_support.h"
#include "testing/sap_announce/sap_sender.h"

using sap::service_browser;
using sap::session;
using sap_test::aes67Sdp;
using sap_test::Inbox;
using sap_test::IoThread;
using testing_support::buildSapPacket;
using testing_support::SapMessage;

namespace {

class RecordingCallback : public sap::browser_callback {
 public:
  void added(const session& s, const std::shared_ptr<sdp::session_description>& d) override {
    events.push("added " + s.origin + "/" + std::to_string(s.hash) + "/" + d->name);
  }
  void removed(const session& s, const std::shared_ptr<sdp::session_description>& d) override {
    events.push("removed " + s.origin + "/" + std::to_string(s.hash) + "/" + d->name);
  }
  Inbox<std::string> events;
};

using Events = std::vector<std::string>;

class ServiceBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("LUMORA_TEST_NAMESPACE") == nullptr) {
      GTEST_SKIP() << "joins on lo only inside the private test namespace";
    }
    browser = makeBrowser(false);
  }

  std::shared_ptr<service_browser> makeBrowser(bool ownOriginFilter) {
    return service_browser::create(io.io(), "127.0.0.1", testing_support::kSapGroup, port, 30000, ownOriginFilter);
  }

  void feed(service_browser& target, uint16_t hash, const std::string& name, bool deletion = false,
            const std::string& origin = "10.0.0.1") {
    SapMessage message;
    message.hash = hash;
    message.origin = origin;
    message.sdp = aes67Sdp(name, "1", std::to_string(hash));
    message.deletion = deletion;
    target.listener()->on_datagram({}, buildSapPacket(message));
  }

  IoThread io;
  uint16_t port = sap_test::freeUdpPort();
  std::shared_ptr<service_browser> browser;
};

}  // namespace

TEST_F(ServiceBrowserTest, SubscribingToAllReplaysKnownSessionsFirst) {
  feed(*browser, 1, "A");
  feed(*browser, 2, "B");
  feed(*browser, 3, "C");
  auto all = std::make_shared<RecordingCallback>();
  browser->subscribe("", all);
  EXPECT_EQ(all->events.items(), (Events{"added 10.0.0.1/1/A", "added 10.0.0.1/2/B", "added 10.0.0.1/3/C"}));
  feed(*browser, 2, "B", true);
  EXPECT_EQ(all->events.items().back(), "removed 10.0.0.1/2/B");
  EXPECT_EQ(browser->names(), (std::set<std::string>{"A", "C"}));
}

TEST_F(ServiceBrowserTest, NamedSubscribersGetOnlyTheirName) {
  feed(*browser, 1, "Stage");
  feed(*browser, 2, "Foyer");
  auto stage = std::make_shared<RecordingCallback>();
  browser->subscribe("Stage", stage);
  feed(*browser, 3, "Stage");
  feed(*browser, 4, "Foyer");
  feed(*browser, 1, "Stage", true);
  feed(*browser, 2, "Foyer", true);
  EXPECT_EQ(stage->events.items(),
            (Events{"added 10.0.0.1/1/Stage", "added 10.0.0.1/3/Stage", "removed 10.0.0.1/1/Stage"}));
}

TEST_F(ServiceBrowserTest, ReleasedSubscribersAreSkipped) {
  auto kept = std::make_shared<RecordingCallback>();
  auto released = std::make_shared<RecordingCallback>();
  browser->subscribe("", released);
  browser->subscribe("", kept);
  std::weak_ptr<RecordingCallback> gone = released;
  released.reset();
  EXPECT_TRUE(gone.expired());
  feed(*browser, 1, "A");
  EXPECT_EQ(kept->events.items(), Events{"added 10.0.0.1/1/A"});
  browser->subscribe("", gone);
}

TEST_F(ServiceBrowserTest, OwnOriginFilterHidesOwnSessionsButForgetsTheirNames) {
  browser.reset();
  auto filtering = makeBrowser(true);
  auto all = std::make_shared<RecordingCallback>();
  filtering->subscribe("", all);
  feed(*filtering, 1, "Own", false, "127.0.0.1");
  feed(*filtering, 2, "Foreign");
  EXPECT_EQ(all->events.items(), Events{"added 10.0.0.1/2/Foreign"});
  EXPECT_EQ(filtering->names(), std::set<std::string>{"Foreign"});
  feed(*filtering, 1, "Own", true, "127.0.0.1");
  EXPECT_EQ(all->events.size(), 1u);
}

TEST_F(ServiceBrowserTest, HandsOutSessionsHeardOnTheWire) {
  auto all = std::make_shared<RecordingCallback>();
  browser->subscribe("", all);
  SapMessage message;
  message.hash = 0x4242;
  message.sdp = aes67Sdp("Wire");
  testing_support::SapSender(port).send(buildSapPacket(message));
  ASSERT_TRUE(all->events.waitFor(1));
  EXPECT_EQ(all->events.items()[0], "added 127.0.0.1/16962/Wire");
  browser.reset();
}
