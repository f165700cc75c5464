#include "sdp/src/text_fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sdp/src/log_text.h"

namespace {

using namespace sdp::text;

std::vector<std::string_view> listed(const field_list& fields) { return {fields.begin(), fields.end()}; }

TEST(SdpTextFields, SplittingDropsOrKeepsEmptyFields) {
  EXPECT_EQ(listed(split_fields("  a \t b  ", " \t")), (std::vector<std::string_view>{"a", "b"}));
  EXPECT_TRUE(split_fields("", " ").empty());
  EXPECT_TRUE(split_fields("---", "-").empty());
  EXPECT_EQ(listed(split_parts("", ';')), (std::vector<std::string_view>{""}));
  EXPECT_EQ(listed(split_parts(";a;", ';')), (std::vector<std::string_view>{"", "a", ""}));
  // Separators above 0x7F count as well.
  EXPECT_EQ(listed(split_fields("a\xFF"
                                "b",
                                "\xFF")),
            (std::vector<std::string_view>{"a", "b"}));
}

TEST(SdpTextFields, LongSplitsKeepEveryFieldInOrder) {
  std::string text;
  for (int k = 0; k < 40; ++k) {
    text += " " + std::to_string(k);
  }
  const field_list fields = split_fields(text, " ");
  ASSERT_EQ(fields.size(), 40u);
  for (size_t k = 0; k < fields.size(); ++k) {
    EXPECT_EQ(fields[k], std::to_string(k));
  }
  const field_list copy = fields;
  EXPECT_EQ(listed(copy), listed(fields));
  EXPECT_EQ(split_parts(std::string(field_list::kInline, ';'), ';').size(), field_list::kInline + 1);
}

TEST(SdpTextFields, IntegersFollowTheLexicalRule) {
  EXPECT_EQ(to_uint32("0"), 0u);
  EXPECT_EQ(to_uint32("+42"), 42u);
  EXPECT_EQ(to_uint32("0004294967295"), 4294967295u);
  EXPECT_EQ(to_uint32("-1"), 4294967295u);
  EXPECT_EQ(to_uint32("-4294967295"), 1u);
  EXPECT_EQ(to_uint16("-1"), 65535u);
  EXPECT_EQ(to_uint16("65535"), 65535u);
  for (const char* bad : {"", "+", "-", "+-1", " 1", "1 ", "1a", "0x10", "4294967296", "99999999999999999999999"}) {
    EXPECT_EQ(to_uint32(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(to_uint16("65536"), std::nullopt);
  EXPECT_EQ(to_uint16("-65536"), std::nullopt);
}

TEST(SdpTextFields, FloatsFollowTheLexicalRule) {
  EXPECT_EQ(to_float("0.125"), 0.125f);
  EXPECT_EQ(to_float("+1"), 1.0f);
  EXPECT_EQ(to_float("-2.5e1"), -25.0f);
  EXPECT_EQ(to_float(".5"), 0.5f);
  EXPECT_EQ(to_float("3.4028235e38"), std::numeric_limits<float>::max());
  EXPECT_EQ(to_float("inf"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(to_float("-Infinity"), -std::numeric_limits<float>::infinity());
  for (const char* nan : {"nan", "+NaN", "-nan"}) {
    ASSERT_TRUE(to_float(nan).has_value()) << nan;
    EXPECT_TRUE(std::isnan(*to_float(nan))) << nan;
  }
  // Below the smallest float: zero, sign kept.
  EXPECT_EQ(to_float("1e-50"), 0.0f);
  EXPECT_TRUE(std::signbit(to_float("-1e-400").value_or(1.0f)));
  for (const char* bad : {"", "+", "abc", "1e40", "3.4028236e38", "-1e40", "1e5000", "infinit", "nanx", "0x1p3", "1,5",
                          " 1", "1 ", "++1", "+-1", "1e"}) {
    EXPECT_EQ(to_float(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(format_float(0.125f), "0.125");
  EXPECT_EQ(format_float(1.0f), "1");
  EXPECT_EQ(format_float(0.33f), "0.330000013");
  EXPECT_EQ(format_float(1e10f), "1e+10");
}

TEST(SdpTextFields, HexBytesHaveOneOrTwoDigits) {
  EXPECT_EQ(hex_byte("0"), 0);
  EXPECT_EQ(hex_byte("fF"), 255);
  EXPECT_EQ(hex_byte("1d"), 0x1d);
  for (const char* bad : {"", "1FF", "G0", "-1", "+1", " 1"}) {
    EXPECT_EQ(hex_byte(bad), std::nullopt) << bad;
  }
}

TEST(SdpTextFields, PrintableEscapesControlsAndMalformedTextButKeepsCharacters) {
  EXPECT_EQ(sdp::printable("Stage 1 ~"), "Stage 1 ~");
  EXPECT_EQ(sdp::printable(std::string("\x1b[0m\\\x7f\x00\xe9\n", 9)), "\\x1B[0m\\\\\\x7F\\x00\\xE9\\x0A");
  // Names in any script stay readable: "B\u00fchne", "\u97f3", an emoji.
  EXPECT_EQ(sdp::printable("B\xC3\xBChne \xE9\x9F\xB3 \xF0\x9F\x8E\xB5"), "B\xC3\xBChne \xE9\x9F\xB3 \xF0\x9F\x8E\xB5");
  // C1 controls (U+009B is a terminal's CSI), overlong forms, surrogates, cut sequences and
  // code points past U+10FFFF are escaped byte by byte.
  EXPECT_EQ(sdp::printable("\xC2\x9B"
                           "2J"),
            "\\xC2\\x9B2J");
  EXPECT_EQ(sdp::printable("\xC0\xAF\xE0\x80\xAF"), "\\xC0\\xAF\\xE0\\x80\\xAF");
  EXPECT_EQ(sdp::printable("\xED\xA0\x80"), "\\xED\\xA0\\x80");
  EXPECT_EQ(sdp::printable("\xE9\x9F"), "\\xE9\\x9F");
  EXPECT_EQ(sdp::printable("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
  EXPECT_EQ(sdp::printable("\xC3\xBC\xC3"), "\xC3\xBC\\xC3");
}

TEST(SdpTextFields, PrintableWithALimitCutsBetweenWholeCharactersAndEscapes) {
  EXPECT_EQ(sdp::printable("Stage", 5), "Stage");
  EXPECT_EQ(sdp::printable("Stage 1", 6), "Sta...");
  // An escape or a character is never split: "\x01" does not fit before the mark, nor does U+97F3.
  EXPECT_EQ(sdp::printable("ab\x01"
                           "cdef",
                           8),
            "ab...");
  EXPECT_EQ(sdp::printable("ab\xE9\x9F\xB3"
                           "cdef",
                           7),
            "ab...");
  EXPECT_EQ(sdp::printable("ab\xE9\x9F\xB3", 5), "ab\xE9\x9F\xB3");
  EXPECT_EQ(sdp::printable("abcdef", 2), "..");
  // A huge name costs what is written, not what it holds.
  const std::string huge(60000, '\x01');
  const std::string shown = sdp::printable(huge, 1000);
  EXPECT_EQ(shown.size(), 999u);
  EXPECT_EQ(shown.substr(shown.size() - 7), "\\x01...");
}

}  // namespace
