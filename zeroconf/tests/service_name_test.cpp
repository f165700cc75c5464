#include "zeroconf/src/service_name.h"

#include <gtest/gtest.h>

namespace zeroconf_test {
namespace {

using zeroconf::find_instance_end;
using zeroconf::unescape_service_name;

TEST(zeroconf_service_name, UnescapesOrGivesNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"_lumora_plain", "_lumora_plain"},
      {"a\\.b", "a.b"},
      {"a\\\\b", "a\\b"},
      {"a\\032b", "a b"},
      {"\\255", "\xff"},
      {"\\300", std::string(1, static_cast<char>(300 & 0xff))},
      {"a\\01", ""},
      {"a\\0x1", ""},
      {"a\\", ""},
      {"a\\1 2", ""},
      // strtol reads the three characters, sign and leading blank included.
      {"a\\-12", "a\xf4"},
      {"a\\+12", "a\x0c"},
      {"a\\ 12", "a\x0c"},
      {"_lumora\\032a\\032b\\.c\\\\d\\001z", std::string("_lumora a b.c\\d\x01z")},
      {"", ""},
  };
  for (const auto& [escaped, literal] : cases) {
    EXPECT_EQ(literal, unescape_service_name(escaped)) << escaped;
  }
}

TEST(zeroconf_service_name, InstanceEndsAtTheFirstUnescapedDot) {
  EXPECT_EQ(5U, find_instance_end("inst1._http._tcp.local."));
  EXPECT_EQ(4U, find_instance_end("a\\.b._http._tcp.local."));
  EXPECT_EQ(3U, find_instance_end("a\\\\._http._tcp.local."));
  EXPECT_EQ(6U, find_instance_end("a\\\\\\.b._http"));
  EXPECT_EQ(0U, find_instance_end("._http._tcp"));
  EXPECT_EQ(std::string::npos, find_instance_end("no\\.dot"));
  EXPECT_EQ(std::string::npos, find_instance_end(""));
}

}  // namespace
}  // namespace zeroconf_test
