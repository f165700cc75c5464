// Malformed texts never reach the DNS-SD library (fake library).

#include "zeroconf/src/service.h"
#include "zeroconf/tests/fake_fixture.h"

namespace zeroconf_test {
namespace {

using zeroconf_invalid_text = fake_library_test;

TEST_F(zeroconf_invalid_text, MalformedTextsGiveTheFailureLineAndAnEmptyHandle) {
  auto listener = std::make_shared<recording_listener>();
  const size_t started = dnssd_fake::operations().size();
  EXPECT_EQ(nullptr, client_->browse("", "_http._tcp", "_rav\xff", listener, false));
  EXPECT_EQ(nullptr, client_->browse("", "_http._tcp", "loc\xc3", "", listener, false));
  EXPECT_EQ(nullptr, client_->browse("", "_http._tcp", std::string(64, 's'), listener, false));
  EXPECT_EQ(nullptr, client_->register_service("Studio \xe9", "_http._tcp", 80, {}, {}, [](int) {}));
  EXPECT_EQ(nullptr, client_->register_service("Studio", "_http._tcp", 80, {"_rav\x80"}, {}, [](int) {}));
  EXPECT_EQ(nullptr, client_->browse_hostname("vm\xff.local.", std::make_shared<recording_hostname_listener>()));
  EXPECT_EQ(started, dnssd_fake::operations().size());
  const std::string log = output();
  EXPECT_NE(std::string::npos, log.find("[0]   _http._tcp; runtime error DNSServiceBrowse() failed (-65540).\n"));
  EXPECT_EQ(3U, count_of(log, "runtime error DNSServiceBrowse() failed (-65540).\n"));
  EXPECT_NE(std::string::npos,
            log.find(
                "[0] Studio \xe9  _http._tcp; runtime error Could not register service \"Studio \xe9\" (-65540).\n"));
  EXPECT_NE(std::string::npos, log.find("runtime error Could not register service \"Studio\" (-65540).\n"));
  EXPECT_NE(std::string::npos, log.find("runtime error DNSServiceGetAddrInfo() failed (-65540).\n"));
}

TEST_F(zeroconf_invalid_text, WellFormedNonAsciiTextsAreHandedOn) {
  auto listener = std::make_shared<recording_listener>();
  auto registration = client_->register_service("Studio \xc3\xa9", "_http._tcp", 80, {}, {}, [](int) {});
  ASSERT_NE(nullptr, registration);
  EXPECT_EQ("Studio \xc3\xa9", next(dnssd_fake::operation_kind::register_service).name.value_or("?"));
}

}  // namespace
}  // namespace zeroconf_test
