#include "zeroconf/src/txt_records.h"

#include <gtest/gtest.h>

#include "testing/stdout_capture.h"

namespace zeroconf_test {
namespace {

using zeroconf::dns_txt_records;
using zeroconf::parse_txt_record;

std::string bytes_of(const dns_txt_records& record) {
  if (record.data() == nullptr) {
    return {};
  }
  return std::string(static_cast<const char*>(record.data()), record.length());
}

struct build_case {
  const char* label;
  std::vector<std::string> entries;
  std::string expected;
};

TEST(zeroconf_txt_records, BuildsWireFormOrNothing) {
  // clang-format off
  const std::vector<build_case> cases = {
      {"entries of 1, 0 and 2 bytes", {"a", "", "bc"}, std::string("\x01" "a" "\x02" "bc")},
      {"no entries", {}, ""},
      {"entry of 127 bytes", {std::string(127, 'x')}, std::string(1, '\x7f') + std::string(127, 'x')},
      {"entry of 128 bytes empties all", {"a", std::string(128, 'x'), "b"}, ""},
      {"entry with a zero byte", {std::string("a\0b", 3)}, std::string("\x03" "a\0b", 4)},
  };
  // clang-format on
  for (const build_case& test : cases) {
    const dns_txt_records record(test.entries);
    EXPECT_EQ(test.expected, bytes_of(record)) << test.label;
    EXPECT_EQ(test.expected.size(), record.length()) << test.label;
  }
}

TEST(zeroconf_txt_records, TotalLengthLimitIs32767) {
  // 258 entries of 1 + 126 bytes make 32766 bytes.
  std::vector<std::string> entries(258, std::string(126, 'x'));
  entries.push_back("");
  EXPECT_EQ(32766U, dns_txt_records(entries).length());
  entries[0] = std::string(127, 'x');
  EXPECT_EQ(32767U, dns_txt_records(entries).length());
  entries[1] = std::string(127, 'x');
  EXPECT_EQ(0U, dns_txt_records(entries).length());
  EXPECT_EQ(nullptr, dns_txt_records(entries).data());
}

struct parse_case {
  const char* label;
  std::string data;
  bool valid;
  std::vector<std::string> entries;
};

TEST(zeroconf_txt_records, ParsesEntriesOrReportsInvalidData) {
  // clang-format off
  const std::vector<parse_case> cases = {
      {"one entry", std::string("\x03" "abc"), true, {"abc"}},
      {"empty entry kept", std::string("\x00\x01x", 3), true, {"", "x"}},
      {"avahi's empty record", std::string("\x00", 1), true, {""}},
      {"length past the end", std::string("\x05" "ab"), false, {}},
      {"second entry past the end", std::string("\x01" "a" "\x02" "b"), false, {}},
      {"high length byte", std::string("\xff" "a"), false, {}},
  };
  // clang-format on
  for (const parse_case& test : cases) {
    testing_support::StdoutCapture capture;
    std::vector<std::string> out{"stale"};
    EXPECT_EQ(test.valid, parse_txt_record(out, static_cast<uint16_t>(test.data.size()), test.data.data()))
        << test.label;
    EXPECT_EQ(test.entries, out) << test.label;
    const bool logged = capture.take().find("Invalid TXT Record\n") != std::string::npos;
    EXPECT_EQ(!test.valid, logged) << test.label;
  }
}

TEST(zeroconf_txt_records, EmptyInputIsValid) {
  std::vector<std::string> out{"stale"};
  EXPECT_TRUE(parse_txt_record(out, 0, "x"));
  EXPECT_TRUE(out.empty());
  out = {"stale"};
  EXPECT_TRUE(parse_txt_record(out, 3, nullptr));
  EXPECT_TRUE(out.empty());
}

TEST(zeroconf_txt_records, BuiltRecordParsesBackWithoutEmptyEntries) {
  const std::vector<std::string> entries = {"master:1", "", "k=v", std::string(127, 'q')};
  const dns_txt_records record(entries);
  std::vector<std::string> out;
  ASSERT_TRUE(parse_txt_record(out, record.length(), record.data()));
  EXPECT_EQ((std::vector<std::string>{"master:1", "k=v", std::string(127, 'q')}), out);
}

}  // namespace
}  // namespace zeroconf_test
