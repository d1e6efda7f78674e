#pragma once
// Text helpers shared by every module: Unicode trimming and ASCII case folding.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quorvex_bo::text {

// Removes the Unicode White_Space characters at both ends (U+0009–U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000–U+200A, U+2028, U+2029, U+202F, U+205F, U+3000;
// not U+200B, not U+FEFF). Invalid UTF-8 is never trimmed.
std::string_view trim_spaces(std::string_view s);
inline std::string_view trim(std::string_view s) {
  // Most texts start and end with a printable ASCII byte: nothing to trim.
  auto printable = [](char c) { return c > 0x20 && c < 0x7F; };
  if (!s.empty() && printable(s.front()) && printable(s.back())) return s;
  return trim_spaces(s);
}

// Byte equality of short texts (keys, names, header names) without a library
// call: two overlapping loads cover every length from 4 to 16 bytes.
[[gnu::always_inline]] inline bool same(std::string_view a, std::string_view b) {
  const std::size_t size = a.size();
  if (size != b.size()) return false;
  auto load8 = [](const char* at) {
    std::uint64_t v;
    std::memcpy(&v, at, 8);
    return v;
  };
  auto load4 = [](const char* at) {
    std::uint32_t v;
    std::memcpy(&v, at, 4);
    return v;
  };
  const char* const x = a.data();
  const char* const y = b.data();
  if (size >= 8 && size <= 16)
    return load8(x) == load8(y) && load8(x + size - 8) == load8(y + size - 8);
  if (size >= 4 && size < 8)
    return load4(x) == load4(y) && load4(x + size - 4) == load4(y + size - 4);
  return a == b;
}

// Copies the `n` bytes at `from` to `to` and returns the end. A short text (most
// keys and values) takes two overlapping word copies and no call; it reads and
// writes those bytes only.
[[gnu::always_inline]] inline char* copy(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n < 4) {
    if (n != 0) {
      to[0] = from[0];
      to[n / 2] = from[n / 2];
      to[n - 1] = from[n - 1];
    }
  } else {
    std::memcpy(to, from, n);
  }
  return to + n;
}

// `text` made a string with the copy above when it fits the string's memory (a
// short one always does); a longer one takes the string's own assignment.
inline void assign(std::string& out, std::string_view text) {
  if (text.size() > out.capacity()) {
    out.assign(text);
    return;
  }
  out.resize_and_overwrite(text.size(), [text](char* at, std::size_t size) {
    copy(at, text.data(), size);
    return size;
  });
}
inline std::string owned(std::string_view text) {
  std::string out;
  assign(out, text);
  return out;
}

// Byte order (as unsigned bytes, like std::string's), mostly settled by the first.
[[gnu::always_inline]] inline bool less(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a.front() != b.front())
    return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front());
  return a < b;
}

// 0–9 only: never a digit of another script.
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Upper-cases the ASCII letters a–z; every other byte stays.
std::string ascii_upper(std::string_view s);
void ascii_upper_in_place(std::string& s);
// Equal when ASCII letters are compared without regard to case. Inline: most
// calls compare words of different lengths and end at the first test.
inline bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// The longest prefix holding at most `n` Unicode scalar values.
std::string_view first_chars(std::string_view s, std::size_t n);

}  // namespace quorvex_bo::text
