#include "quorvex_bo/core/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvex_bo {
namespace {

// UTF-8 of one code point.
std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return out;
}

constexpr char32_t white_space[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                    0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                    0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                    0x2029, 0x202F, 0x205F, 0x3000};

// Neighbours of the white-space code points, look-alikes and characters that
// share their first UTF-8 bytes.
constexpr char32_t not_white_space[] = {0x08,   0x0E,   0x1C,   0x1F,   0x84,   0x86,
                                        0x9F,   0xA1,   0x167F, 0x1681, 0x1FFF, 0x200B,
                                        0x200C, 0x200D, 0x2027, 0x202A, 0x202E, 0x2030,
                                        0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF, 0x1F600};

class TrimsWhiteSpace : public testing::TestWithParam<char32_t> {};

TEST_P(TrimsWhiteSpace, at_both_ends_but_not_inside) {
  const std::string ws = utf8(GetParam());
  const std::string inner = "a" + ws + "é";
  EXPECT_EQ(text::trim(ws + inner + ws + ws), inner);
  EXPECT_EQ(text::trim(ws), "");
  EXPECT_EQ(text::trim(ws + " " + ws), "");
}

INSTANTIATE_TEST_SUITE_P(UnicodeWhiteSpace, TrimsWhiteSpace, testing::ValuesIn(white_space));

class KeepsOtherCharacters : public testing::TestWithParam<char32_t> {};

TEST_P(KeepsOtherCharacters, at_both_ends) {
  const std::string c = utf8(GetParam());
  EXPECT_EQ(text::trim(" " + c + "x" + c + "\n"), c + "x" + c);
  EXPECT_EQ(text::trim(c), c);
}

INSTANTIATE_TEST_SUITE_P(NotWhiteSpace, KeepsOtherCharacters, testing::ValuesIn(not_white_space));

TEST(Text, trim_of_empty_and_plain_text) {
  EXPECT_EQ(text::trim(""), "");
  EXPECT_EQ(text::trim("abc"), "abc");
  EXPECT_EQ(text::trim(std::string_view("\0a\0", 3)), std::string_view("\0a\0", 3));
}

TEST(Text, trim_never_cuts_invalid_utf8) {
  // Truncated or stray pieces of white-space sequences stay as they are.
  const std::string cases[] = {"\xC2",     "\x85",     "\xA0",         "\xE3\x80", "\x80\x80",
                               "\xE2\x80", "\xC2\xC2", "\xE2\x80\xC2", "\xFF",     "\xE0\x80\x80"};
  for (const std::string& bad : cases) {
    EXPECT_EQ(text::trim(bad), bad);
    EXPECT_EQ(text::trim(" " + bad + " "), bad);
  }
  // A complete white-space sequence next to invalid bytes is still removed.
  EXPECT_EQ(text::trim("\xFF\xC2\xA0"), "\xFF");
  EXPECT_EQ(text::trim("\xE3\x80\x80\xFF"), "\xFF");
}

TEST(Text, ascii_upper_folds_only_ascii_letters) {
  EXPECT_EQ(text::ascii_upper("web_App-1 éz"), "WEB_APP-1 éZ");
  EXPECT_EQ(text::ascii_upper(""), "");
  EXPECT_EQ(text::ascii_upper("\xC3\xA9"), "\xC3\xA9");  // é is not folded to É
}

TEST(Text, ascii_iequals_ignores_only_ascii_case) {
  EXPECT_TRUE(text::ascii_iequals("Content-Type", "content-TYPE"));
  EXPECT_TRUE(text::ascii_iequals("", ""));
  EXPECT_FALSE(text::ascii_iequals("abc", "abcd"));
  EXPECT_FALSE(text::ascii_iequals("é", "É"));
  EXPECT_FALSE(text::ascii_iequals("[", "{"));  // 0x5B and 0x7B differ by the case bit
  EXPECT_FALSE(text::ascii_iequals("@", "`"));
}

TEST(Text, char_count_counts_scalar_values_not_bytes) {
  EXPECT_EQ(text::char_count(""), 0U);
  EXPECT_EQ(text::char_count("abc"), 3U);
  EXPECT_EQ(text::char_count("añ€😀"), 4U);  // 1 + 2 + 3 + 4 bytes
}

TEST(Text, first_chars_cuts_on_character_boundaries) {
  const std::string s = "añ€😀z";
  EXPECT_EQ(text::first_chars(s, 0), "");
  EXPECT_EQ(text::first_chars(s, 1), "a");
  EXPECT_EQ(text::first_chars(s, 2), "añ");
  EXPECT_EQ(text::first_chars(s, 3), "añ€");
  EXPECT_EQ(text::first_chars(s, 4), "añ€😀");
  EXPECT_EQ(text::first_chars(s, 5), s);
  EXPECT_EQ(text::first_chars(s, 200), s);
}

TEST(Text, first_chars_gives_a_200_character_preview) {
  std::string long_text;
  for (int i = 0; i < 300; ++i) long_text += "é";
  std::string_view preview = text::first_chars(long_text, 200);
  EXPECT_EQ(preview.size(), 400U);
  EXPECT_EQ(text::char_count(preview), 200U);
}

}  // namespace
}  // namespace quorvex_bo
