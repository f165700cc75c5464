// Texts checked before they are handed to the DNS-SD library.

#include <gtest/gtest.h>

#include <string>

#include "zeroconf/src/dns_text_check.h"

namespace {

using zeroconf::is_acceptable_domain_name;
using zeroconf::is_acceptable_service_type;
using zeroconf::is_well_formed_utf8;

TEST(zeroconf_text_check, WellFormedUtf8IsAcceptedAndMalformedRefused) {
  EXPECT_TRUE(is_well_formed_utf8(""));
  EXPECT_TRUE(is_well_formed_utf8("Studio A \xce\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa7"));
  EXPECT_FALSE(is_well_formed_utf8("bad\xff"));
  EXPECT_FALSE(is_well_formed_utf8("cut \xe2\x82"));
  EXPECT_FALSE(is_well_formed_utf8("stray \x80"));
  EXPECT_FALSE(is_well_formed_utf8("overlong \xc0\xaf"));
  EXPECT_FALSE(is_well_formed_utf8("surrogate \xed\xa0\x80"));
  EXPECT_FALSE(is_well_formed_utf8("beyond \xf4\x90\x80\x80"));
  EXPECT_FALSE(is_well_formed_utf8(std::string("nul\0inside", 10)));
}

TEST(zeroconf_text_check, DomainNamesKeepTheirLabelsWithin63Bytes) {
  const std::string label63(63, 'a');
  EXPECT_TRUE(is_acceptable_domain_name("vm.local."));
  EXPECT_TRUE(is_acceptable_domain_name(""));
  EXPECT_TRUE(is_acceptable_domain_name(label63 + ".local"));
  EXPECT_FALSE(is_acceptable_domain_name(label63 + "a.local"));
  // An escaped dot belongs to its label.
  EXPECT_TRUE(is_acceptable_domain_name(std::string(30, 'a') + "\\." + std::string(30, 'b') + ".local"));
  EXPECT_FALSE(is_acceptable_domain_name(std::string(31, 'a') + "\\." + std::string(32, 'b') + ".local"));
  std::string long_name;
  while (long_name.size() <= zeroconf::kMaxNameBytes) {
    long_name += label63 + ".";
  }
  EXPECT_FALSE(is_acceptable_domain_name(long_name));
  EXPECT_FALSE(is_acceptable_domain_name("h\xc3.local"));
}

TEST(zeroconf_text_check, TypeAndEverySubtypeAreChecked) {
  EXPECT_TRUE(is_acceptable_service_type("_http._tcp"));
  EXPECT_TRUE(is_acceptable_service_type("_http._tcp,_ravenna,_extra"));
  EXPECT_FALSE(is_acceptable_service_type("_http._tcp,_rav\xff"));
  EXPECT_FALSE(is_acceptable_service_type("_http._tcp,_ravenna," + std::string(64, 's')));
}

}  // namespace
