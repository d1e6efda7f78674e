#include "quorvex_bo/core/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvex_bo {
namespace {

TEST(Text, trim_removes_every_white_space_code_point_at_both_ends_only) {
  const char* white_space[] = {"\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00a0", "\u1680",
                               "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
                               "\u2006", "\u2007", "\u2008", "\u2009", "\u200a", "\u2028",
                               "\u2029", "\u202f", "\u205f", "\u3000"};
  for (std::string ws : white_space) {
    const std::string inner = "a" + ws + "\u00e9";
    EXPECT_EQ(text::trim(ws + inner + ws + ws), inner) << ws;
    EXPECT_EQ(text::trim(ws + " " + ws), "") << ws;
  }
  // Zero-width characters, neighbours and look-alikes sharing leading bytes stay.
  for (std::string c : {"\u200b", "\ufeff", "\u200c", "\u2060", "\u202a", "\u3001", "\u0084",
                        "\u00a1", "\u167f", "\x1f"}) {
    EXPECT_EQ(text::trim(" " + c + "x" + c + "\n"), c + "x" + c) << c;
  }
}

TEST(Text, trim_never_cuts_invalid_utf8) {
  for (std::string bad : {"\xC2", "\x85", "\xA0", "\xE3\x80", "\xE2\x80\xC2", "\xFF"})
    EXPECT_EQ(text::trim(" " + bad + " "), bad);
  EXPECT_EQ(text::trim("\xFF\xC2\xA0"), "\xFF");  // a whole sequence next to it still goes
  EXPECT_EQ(text::trim("\xE3\x80\x80\xFF"), "\xFF");
}

TEST(Text, ascii_case_folding_leaves_other_bytes_alone) {
  EXPECT_EQ(text::ascii_upper("web_App-1 \u00e9z"), "WEB_APP-1 \u00e9Z");
  EXPECT_TRUE(text::ascii_iequals("Content-Type", "content-TYPE"));
  EXPECT_FALSE(text::ascii_iequals("abc", "abcd"));
  EXPECT_FALSE(text::ascii_iequals("\u00e9", "\u00c9"));
  EXPECT_FALSE(text::ascii_iequals("[", "{"));  // 0x5B and 0x7B differ by the case bit only
}

TEST(Text, counts_and_cuts_by_scalar_values_not_bytes) {
  const std::string s = "a\u00f1\u20ac\U0001F600z";  // 1 + 2 + 3 + 4 + 1 bytes
  EXPECT_EQ(text::char_count(s), 5U);
  EXPECT_EQ(text::first_chars(s, 3), "a\u00f1\u20ac");
  EXPECT_EQ(text::first_chars(s, 4), "a\u00f1\u20ac\U0001F600");
  EXPECT_EQ(text::first_chars(s, 200), s);
}

}  // namespace
}  // namespace quorvex_bo
