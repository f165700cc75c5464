#include "sap/impl/utf8.h"

#include <gtest/gtest.h>

using sap::is_valid_utf8;

TEST(IsValidUtf8, AcceptsSdpTextAndWellFormedSequences) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("v=0\r\ns=Stage\t1\n"));
  EXPECT_TRUE(is_valid_utf8("B\xC3\xBChne"));                      // U+00FC
  EXPECT_TRUE(is_valid_utf8("\xE0\xA0\x80 \xED\x9F\xBF"));         // U+0800, U+D7FF
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));                      // U+FFFD
  EXPECT_TRUE(is_valid_utf8("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));  // U+10000, U+10FFFF
}

TEST(IsValidUtf8, RejectsControlsAndMalformedSequences) {
  EXPECT_FALSE(is_valid_utf8("a\x01"));
  EXPECT_FALSE(is_valid_utf8(std::string("a\0b", 3)));
  EXPECT_FALSE(is_valid_utf8("\x7F"));
  EXPECT_FALSE(is_valid_utf8("\x1B[31m"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));          // overlong NUL
  EXPECT_FALSE(is_valid_utf8("\xC1\xBF"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xE0\x9F\xBF"));      // overlong 3-byte
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF0\x8F\xBF\xBF"));  // overlong 4-byte
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(is_valid_utf8("\x80"));    // lone continuation
  EXPECT_FALSE(is_valid_utf8("ok\xC3"));  // cut at the end
  EXPECT_FALSE(is_valid_utf8("ok\xE2\x82"));
  EXPECT_FALSE(is_valid_utf8("\xC3\x28"));  // bad continuation
  EXPECT_FALSE(is_valid_utf8("\xFF"));
}

// Plain text is checked a word at a time: every position of every byte value must still count.
TEST(IsValidUtf8, EveryByteAtEveryPositionOfALongerText) {
  const std::string plain = "o=- 1311738121 1 IN IP4 10.0.0.1 and more";
  ASSERT_TRUE(is_valid_utf8(plain));
  for (size_t at = 0; at < plain.size(); ++at) {
    for (int value = 0; value < 256; ++value) {
      std::string text = plain;
      text[at] = static_cast<char>(value);
      const bool allowed = value == 0x09 || value == 0x0A || value == 0x0D || (value >= 0x20 && value <= 0x7E);
      EXPECT_EQ(is_valid_utf8(text), allowed) << "byte " << value << " at " << at;
    }
  }
  EXPECT_TRUE(is_valid_utf8(plain + "\xC3\xBC" + plain));
  EXPECT_FALSE(is_valid_utf8(plain + "\xC3" + plain));
}
