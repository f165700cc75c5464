#include "sap/impl/multicast_receiver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <boost/asio/ip/bad_address_cast.hpp>
#include <boost/asio/post.hpp>
#include <future>
#include <limits>

#include "sap/tests/sap_test_support.h"
#include "testing/sap_announce/sap_sender.h"
#include "testing/stdout_capture.h"

using namespace std::chrono_literals;
using sap::multicast::receiver;
using sap_test::freeUdpPort;
using sap_test::Inbox;
using sap_test::IoThread;
using testing_support::kSapGroup;
using testing_support::SapSender;

namespace {

struct Received {
  std::string sender;
  std::string datagram;
};

std::shared_ptr<receiver> listeningReceiver(IoThread& io, uint16_t port, Inbox<Received>& inbox,
                                            const std::string& group = kSapGroup) {
  auto r = std::make_shared<receiver>("", group, port, "127.0.0.1", io.io());
  r->datagram_received.connect([&inbox](const boost::asio::ip::udp::endpoint& from, const std::string& data) {
    inbox.push({from.address().to_string(), data});
  });
  EXPECT_TRUE(r->start());
  return r;
}

}  // namespace

TEST(MulticastReceiver, DeliversDatagramsWholeAndKeepsReceiving) {
  SKIP_OUTSIDE_TEST_NAMESPACE();
  IoThread io;
  const uint16_t port = freeUdpPort();
  Inbox<Received> inbox;
  auto r = listeningReceiver(io, port, inbox);
  SapSender sender(port);
  const std::string small(100, 's');
  std::string large(9000, 'L');
  large[1023] = 'X';
  large.back() = 'E';
  sender.send(small);
  sender.send(large);
  ASSERT_TRUE(inbox.waitFor(2));
  const auto items = inbox.items();
  EXPECT_EQ(items[0].sender, "127.0.0.1");
  EXPECT_EQ(items[0].datagram, small);
  EXPECT_EQ(items[1].datagram, large);
  r->close();
  EXPECT_EQ(r->pending_receives(), 0);
}

TEST(MulticastReceiver, HearsOnlyItsOwnMembership) {
  SKIP_OUTSIDE_TEST_NAMESPACE();
  IoThread io;
  const uint16_t port = freeUdpPort();
  Inbox<Received> sapGroup;
  Inbox<Received> otherGroup;
  auto sap = listeningReceiver(io, port, sapGroup);
  auto other = listeningReceiver(io, port, otherGroup, "239.255.255.254");

  // Same port, other group: only the receiver that joined it may hear it.
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof(loopback)), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "239.255.255.254", &to.sin_addr);
  ASSERT_EQ(sendto(fd, "other", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 5);
  ::close(fd);
  SapSender(port).send("sap");

  ASSERT_TRUE(otherGroup.waitFor(1));
  ASSERT_TRUE(sapGroup.waitFor(1));
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(sapGroup.size(), 1u);
  EXPECT_EQ(sapGroup.items()[0].datagram, "sap");
  ASSERT_EQ(otherGroup.size(), 1u);
  EXPECT_EQ(otherGroup.items()[0].datagram, "other");
}

TEST(MulticastReceiver, RejectsAddressesThatAreNotIpv4) {
  IoThread io;
  EXPECT_THROW(receiver("", kSapGroup, 9875, "::1", io.io()), boost::asio::ip::bad_address_cast);
  EXPECT_THROW(receiver("", "ff02::1", 9875, "127.0.0.1", io.io()), boost::asio::ip::bad_address_cast);
  EXPECT_THROW(receiver("", kSapGroup, 9875, "not an address", io.io()), boost::system::system_error);
}

TEST(MulticastReceiver, FailedSetUpStaysInertAndClosesAtOnce) {
  SKIP_OUTSIDE_TEST_NAMESPACE();
  IoThread io;
  testing_support::StdoutCapture capture;
  auto r = std::make_shared<receiver>("", kSapGroup, freeUdpPort(), "192.0.2.254", io.io());
  EXPECT_EQ(capture.take(), "sap::receiver::receiver error: No such device (19)\n");
  EXPECT_FALSE(r->is_open());
  EXPECT_FALSE(r->start());
  const auto before = std::chrono::steady_clock::now();
  r->close();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);
  EXPECT_EQ(capture.take(), "");
}

TEST(MulticastReceiver, ClosesFromAnotherThreadAndFromItsOwnHandler) {
  SKIP_OUTSIDE_TEST_NAMESPACE();
  IoThread io;
  const uint16_t port = freeUdpPort();
  Inbox<Received> inbox;
  auto r = listeningReceiver(io, port, inbox);
  EXPECT_EQ(r->pending_receives(), 1);
  {
    testing_support::StdoutCapture capture;
    r->close();
    const std::string out = capture.take();
    EXPECT_TRUE(out.empty() || out.rfind("iRetryCounter = 299, m_iPendingIOCounter: 1\n", 0) == 0) << out;
  }
  EXPECT_EQ(r->pending_receives(), 0);
  EXPECT_FALSE(r->start());

  // A slot that closes its own receiver (on the I/O thread) must not wait for itself.
  auto self = listeningReceiver(io, port, inbox);
  std::promise<void> closed;
  self->datagram_received.connect([&](const auto&, const auto&) {
    self->close();
    closed.set_value();
  });
  SapSender(port).send("close");
  ASSERT_EQ(closed.get_future().wait_for(2s), std::future_status::ready);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(self->pending_receives(), 0);
  EXPECT_FALSE(self->is_open());
}

TEST(MulticastReceiver, SlotExceptionsDoNotEndTheLoop) {
  SKIP_OUTSIDE_TEST_NAMESPACE();
  testing_support::StdoutCapture capture;
  IoThread io;
  const uint16_t port = freeUdpPort();
  Inbox<Received> inbox;
  auto r = std::make_shared<receiver>("", kSapGroup, port, "127.0.0.1", io.io());
  r->datagram_received.connect([&](const auto&, const std::string& data) {
    inbox.push({"", data});
    if (data == "throw") throw std::runtime_error("slot failed");
  });
  ASSERT_TRUE(r->start());
  SapSender sender(port);
  sender.send("throw");
  ASSERT_TRUE(inbox.waitFor(1));
  sender.send("after");
  ASSERT_TRUE(inbox.waitFor(2));
  r->close();
  io.stop();
  EXPECT_NE(capture.take().find("sap::receiver::on_receive exception: slot failed\n"), std::string::npos);
}

TEST(MulticastReceiver, AReceiveBufferSmallerThanAskedForIsPrintedAndReceivingGoesOn) {
  SKIP_OUTSIDE_TEST_NAMESPACE();
  IoThread io;
  const uint16_t port = freeUdpPort();
  testing_support::StdoutCapture capture;
  // More than any system grants, privileged or not.
  auto r = std::make_shared<receiver>("", kSapGroup, port, "127.0.0.1", io.io(), std::numeric_limits<int>::max());
  const std::string out = capture.take();
  EXPECT_NE(out.find("sap::receiver receive buffer: asked for 2147483647 bytes, granted "), std::string::npos) << out;
  Inbox<std::string> inbox;
  r->datagram_received.connect(
      [&inbox](const boost::asio::ip::udp::endpoint&, const std::string& data) { inbox.push(data); });
  ASSERT_TRUE(r->start());
  SapSender(port).send("still heard");
  ASSERT_TRUE(inbox.waitFor(1));
  EXPECT_EQ(inbox.items()[0], "still heard");
  r->close();

  // The usual size asks for nothing a root process does not get.
  testing_support::StdoutCapture quiet;
  auto usual = std::make_shared<receiver>("", kSapGroup, freeUdpPort(), "127.0.0.1", io.io());
  EXPECT_EQ(quiet.take().find("receive buffer"), std::string::npos);
  usual->close();
}
