#pragma once
// Byte scans shared by the JSON reader and writer. Long strings (a QR image is
// megabytes of Base64) are searched sixteen bytes at a time; the tail and
// machines without SSE2 take the plain loop.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <cpuid.h>
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

namespace quorvex_bo::json::scan {

#if defined(__SSE2__)
// Bit i set for byte i of the block when it ends a plain run inside a JSON
// string being read: a quotation mark, a backslash, a control character, or
// (by the signed compare) any byte from 0x80 up.
inline unsigned read_specials(__m128i bytes) {
  return static_cast<unsigned>(_mm_movemask_epi8(
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
                   _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)))));
}

// Byte i all ones when byte i of the block must be escaped in a JSON string
// being written: a quotation mark, a backslash or a control character. The
// quotation mark 0x22 turns into 0x20 by the flip of bit 1, and the controls stay
// below it: one unsigned compare finds both.
inline __m128i write_special_bytes(__m128i bytes) {
  const __m128i flipped = _mm_xor_si128(bytes, _mm_set1_epi8(0x02));
  return _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(flipped, _mm_set1_epi8(0x20)), flipped),
                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
}

// Bit i set for byte i of the block when a JSON string being written must
// escape it.
inline unsigned write_specials(__m128i bytes) {
  return static_cast<unsigned>(_mm_movemask_epi8(write_special_bytes(bytes)));
}

// Whether any of the 64 bytes at `p` must be escaped.
inline bool any_write_special_64(const char* p) {
  const auto load = [p](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + i); };
  return _mm_movemask_epi8(_mm_or_si128(
             _mm_or_si128(write_special_bytes(load(0)), write_special_bytes(load(1))),
             _mm_or_si128(write_special_bytes(load(2)), write_special_bytes(load(3))))) != 0;
}

// Copies from `p` to `out` 64 bytes at a time while none of them must be
// escaped (a Base64 image is one long such run); returns where it stopped,
// fewer than 64 bytes before `end` or at the 64 bytes that hold a special one.
inline const char* copy_plain_64(const char* p, const char* end, char*& out) {
  for (; end - p >= 64 && !any_write_special_64(p); p += 64, out += 64)
    std::memcpy(out, p, 64);
  return p;
}

// Copies from `p` to `out` block by block, each block of sixteen bytes searched
// once with `specials` for all the bytes that need handling, so that a text
// dense with them (a JSON document inside a JSON string) is not searched again
// after each one. `handle(p, out, left)` deals with the special byte at `p`
// (`left` bytes of the block from there on): it advances `p` and `out` past what
// it read and wrote and returns the bytes it read (at most `left`), or 0 to stop
// there. Stops too where fewer than sixteen bytes are left; returns where it
// stopped. The bytes of `out` from there on are unspecified.
template <class Specials, class Handle>
const char* copy_blocks(const char* p, const char* end, char*& out, Specials specials,
                        Handle handle) {
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    unsigned mask = specials(bytes);
    // The bytes from p to p + left are those of the block not yet consumed; bit
    // i of `mask` marks p + i.
    unsigned left = 16;
    for (;;) {
      if (mask == 0) {
        p += left;
        out += left;
        break;
      }
      const auto at = static_cast<unsigned>(__builtin_ctz(mask));
      p += at;
      out += at;
      left -= at;
      mask >>= at;
      const unsigned used = handle(p, out, left);
      if (used == 0) return p;
      left -= used;
      mask >>= used;
      if (end - p < 16) return p;
      // The rest of the block again, where `out` now is.
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
  }
  return p;
}
#endif

// The first byte at or after `p` that ends a plain run inside a JSON string being
// read: a quotation mark, a backslash, a control character or a byte of a
// multi-byte UTF-8 sequence (checked one sequence at a time); `end` if none.
inline const char* to_string_special(const char* p, const char* end) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16)
    if (const unsigned mask = read_specials(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
      return p + __builtin_ctz(mask);
#endif
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
  }
  return end;
}

// The first byte that a JSON string being written must escape: a quotation mark,
// a backslash or a control character U+0000–U+001F; `end` if none.
inline const char* to_escape(const char* p, const char* end) {
#if defined(__SSE2__)
  while (end - p >= 64 && !any_write_special_64(p)) p += 64;
  for (; end - p >= 16; p += 16)
    if (const unsigned mask = write_specials(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
      return p + __builtin_ctz(mask);
#endif
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
  }
  return end;
}

// Whether any byte of the word must be escaped in a JSON string being written
// (the exact any-byte tests: a borrow starts only at a byte that matches).
constexpr bool word_needs_escape(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  constexpr std::uint64_t high = 0x8080808080808080u;
  const std::uint64_t quote = word ^ (ones * '"');
  const std::uint64_t backslash = word ^ (ones * '\\');
  return (((word - ones * 0x20) & ~word) | ((quote - ones) & ~quote) |
          ((backslash - ones) & ~backslash)) &
         high;
}

// Whether any byte of the two words must be escaped: one block check with SSE2.
inline bool words_need_escape(std::uint64_t first, std::uint64_t last) {
#if defined(__SSE2__)
  const __m128i block = _mm_set_epi64x(static_cast<long long>(last), static_cast<long long>(first));
  return _mm_movemask_epi8(write_special_bytes(block)) != 0;
#else
  return word_needs_escape(first) || word_needs_escape(last);
#endif
}

// Whether none of the bytes of a text of fewer than sixteen bytes must be
// escaped, read as two words (the last one overlapping the first) of its own
// bytes only; if so, copies it to `out` unless that is null.
inline bool copy_tiny_plain(const char* p, std::size_t n, char* out) {
  if (n >= 8) {
    std::uint64_t first, last;
    std::memcpy(&first, p, 8);
    std::memcpy(&last, p + n - 8, 8);
    if (words_need_escape(first, last)) return false;
    if (!out) return true;
    std::memcpy(out, &first, 8);
    std::memcpy(out + n - 8, &last, 8);
    return true;
  }
  if (n >= 4) {
    std::uint32_t first, last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    const std::uint64_t both = first | std::uint64_t{last} << 32;
    if (words_need_escape(both, both)) return false;
    if (!out) return true;
    std::memcpy(out, &first, 4);
    std::memcpy(out + n - 4, &last, 4);
    return true;
  }
  if (n == 0) return true;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  // Bytes 0, n/2 and n−1 are all of them; the first fills the rest of the word.
  const std::uint64_t word = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16 | byte(0) << 24;
  const std::uint64_t both = word * 0x0000000100000001u;
  if (words_need_escape(both, both)) return false;
  if (!out) return true;
  out[0] = p[0];
  out[n / 2] = p[n / 2];
  out[n - 1] = p[n - 1];
  return true;
}

// The same for a text of 16 to 63 bytes, in blocks (or words without SSE2).
inline constexpr std::size_t short_plain_bytes = 64;
inline bool copy_short_plain(const char* p, std::size_t n, char* out) {
#if defined(__SSE2__)
  const auto load = [p](std::size_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)); };
  const auto store = [out](std::size_t i, __m128i block) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), block);
  };
  const std::size_t second_at = n >= 32 ? 16 : 0, third_at = n >= 48 ? 32 : 0;
  const __m128i first = load(0), second = load(second_at), third = load(third_at), last = load(n - 16);
  if (_mm_movemask_epi8(
          _mm_or_si128(_mm_or_si128(write_special_bytes(first), write_special_bytes(second)),
                       _mm_or_si128(write_special_bytes(third), write_special_bytes(last)))))
    return false;
  store(0, first);
  store(second_at, second);
  store(third_at, third);
  store(n - 16, last);
  return true;
#else
  for (std::size_t i = 0; i < n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + std::min(i, n - 8), 8);
    if (word_needs_escape(word)) return false;
  }
  std::memcpy(out, p, n);
  return true;
#endif
}

// The bytes stored past the end of a copy below: a buffer written by them needs
// this much room beyond what it receives.
inline constexpr std::size_t copy_slack = 16;

// What the two-byte escapes stand for, by the byte after the backslash; 0 for
// the others (\u… and invalid ones).
inline constexpr auto simple_escapes = [] {
  std::array<char, 256> table{};
  table['"'] = '"';
  table['\\'] = '\\';
  table['/'] = '/';
  table['b'] = '\b';
  table['f'] = '\f';
  table['n'] = '\n';
  table['r'] = '\r';
  table['t'] = '\t';
  return table;
}();

// The bytes that a JSON string being written must escape.
inline constexpr auto must_escape = [] {
  std::array<bool, 256> table{};
  for (std::size_t c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

// Copies the bytes from `p` up to the first that a JSON string being written
// must escape (or to `end`) into `out`, sixteen at a time (storing a whole block
// even where the run ends inside it); advances `out` past the run and returns
// the byte that ended it. The bytes from `begin` (at or before `p`) to `end` may
// all be read: a last part shorter than a block is then searched in the block
// that ends at `end`.
inline const char* copy_to_escape(const char* p, const char* end, char*& out,
                                  const char* begin) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16, out += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    if (const unsigned mask = write_specials(bytes)) {
      const int run = __builtin_ctz(mask);
      out += run;
      return p + run;
    }
  }
  if (p < end && end - begin >= 16) {
    const char* const last = end - 16;
    const unsigned mask =
        write_specials(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last))) >> (p - last);
    const auto left = static_cast<std::size_t>(end - p);
    const std::size_t run = mask != 0 ? static_cast<std::size_t>(__builtin_ctz(mask)) : left;
    std::memcpy(out, p, run);
    out += run;
    return p + run;
  }
#else
  (void)begin;
#endif
  for (; p < end; ++p) {
    if (must_escape[static_cast<unsigned char>(*p)]) return p;
    *out++ = *p;
  }
  return end;
}

// The same up to the first byte that ends a plain run inside a JSON string being
// read (see `to_string_special`), for reading and unescaping in one pass.
inline const char* copy_to_string_special(const char* p, const char* end, char*& out) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16, out += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    if (const unsigned mask = read_specials(bytes)) {
      const int run = __builtin_ctz(mask);
      out += run;
      return p + run;
    }
  }
#endif
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
    *out++ = *p;
  }
  return end;
}

#if defined(__SSE2__)
// The sixteen bytes at `p` as the unescapers below see them: bit i of each mask
// marks byte i.
struct EscapeBlock {
  explicit EscapeBlock(const char* p)
      : bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        quotes(where('"')),
        backslashes(where('\\')),
        // Control characters and, by the signed compare, every byte from 0x80 up.
        others(static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20))))) {}
  unsigned where(char c) const {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
  }

  __m128i bytes;
  unsigned quotes;
  unsigned backslashes;
  unsigned others;
};
#endif

// Unescapes from `p` into `out` a block of sixteen bytes at a time while each
// block holds only plain bytes and two-byte escapes (`simple[byte after the
// backslash]`) that lie wholly inside it, none of them escaping a backslash: the
// common shape of a JSON text sent as a string. A block that ends on such an
// escape's backslash is taken one byte short. Each escape is dropped with one
// overlapping copy of the rest of the block, so a block dense with escaped
// quotes costs about as much as one with a single one. Stops at the first block
// of another shape, or where fewer than 32 bytes are left, and returns where it
// stopped (at a block's start: `out` holds nothing of it that counts).
inline const char* unescape_blocks(const char* p, const char* end, char*& out,
                                   const std::array<char, 256>& simple) {
#if defined(__SSE2__)
  // A copy starts at most 15 bytes into the block and reads sixteen.
  while (end - p >= 32) {
    const EscapeBlock block(p);
    const __m128i bytes = block.bytes;
    auto where = [&block](char c) { return block.where(c); };
    const unsigned quotes = block.quotes;
    unsigned backslashes = block.backslashes;
    const unsigned others = block.others;
    if ((quotes | backslashes | others) == 0) {  // plain
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      p += 16;
      out += 16;
      continue;
    }
    unsigned length = 16;
    if ((backslashes & 0x8000) != 0) {
      if ((backslashes & 0x4000) != 0) return p;  // which of the two escapes is unclear here
      backslashes &= 0x7FFF;
      length = 15;
    }
    const unsigned escaped = backslashes << 1;
    if (others != 0 || (backslashes & escaped) != 0 || (quotes & ~escaped) != 0) return p;
    // Escapes that stand for the byte itself (the quotes, mostly), and those
    // that stand for another, looked for only when there are others.
    bool translate = false;
    if (const unsigned itself = quotes | where('/'); (escaped & ~itself) != 0) {
      const unsigned other = where('b') | where('f') | where('n') | where('r') | where('t');
      if ((escaped & ~(itself | other)) != 0) return p;  // a u-escape or an invalid one
      translate = true;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    unsigned dropped = 0;
    unsigned rest = backslashes;
    // Drops the next escape's backslash. With none left it copies the next
    // block's start to where this block's output ends, which the next writer
    // overwrites: the first steps take no branch that depends on the text.
    auto drop = [&] {
      const unsigned at = rest != 0 ? static_cast<unsigned>(__builtin_ctz(rest)) : 15;
      dropped += rest != 0 ? 1 : 0;
      char* const to = out + at + 1 - dropped;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at + 1)));
      if (translate) *to = simple[static_cast<unsigned char>(p[at + 1])];
      rest &= rest - 1;
    };
    drop();
    drop();
    drop();
    while (rest != 0) drop();
    p += length;
    out += length - dropped;
  }
#else
  (void)end;
  (void)out;
  (void)simple;
#endif
  return p;
}

#if defined(__SSE2__)
// Whether the processor has SSSE3's byte shuffle (nearly every x86-64 one made
// since 2006, not all): asked once.
inline bool has_ssse3() {
  static const bool supported = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_SSSE3) != 0;
  }();
  return supported;
}

// For each byte of the eight whose bit is set in the index, to be dropped: the
// positions of the others in order, then 0x80 (a shuffle makes those zero).
inline constexpr auto kept_positions = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned drop = 0; drop < 256; ++drop) {
    std::uint64_t positions = 0;
    unsigned kept = 0;
    for (unsigned i = 0; i < 8; ++i)
      if ((drop & (1U << i)) == 0) positions |= std::uint64_t{i} << (8 * kept++);
    for (; kept < 8; ++kept) positions |= std::uint64_t{0x80} << (8 * kept);
    table[drop] = positions;
  }
  return table;
}();
// The same for the second eight bytes of a block: positions 8 to 15.
inline constexpr auto kept_positions_high = [] {
  std::array<std::uint64_t, 256> table = kept_positions;
  for (std::uint64_t& positions : table) positions += 0x0808080808080808;
  return table;
}();
// How many of the eight bytes stay, by the same index.
inline constexpr auto kept_counts = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned drop = 0; drop < 256; ++drop)
    table[drop] = static_cast<std::uint8_t>(8 - std::popcount(drop));
  return table;
}();

// The unescaping of `unescape_blocks` for the blocks whose escapes all stand for
// the byte itself (`\"` and `\/`, a JSON text sent as a string): each block's
// backslashes go with one byte shuffle, however many there are, and only
// sixteen bytes need be left. Stops at any other block, with the same answer.
[[gnu::target("ssse3")]] inline const char* drop_backslashes(const char* p, const char* end,
                                                            char*& out) {
  while (end - p >= 16) {
    const EscapeBlock block(p);
    const __m128i bytes = block.bytes;
    auto where = [&block](char c) { return block.where(c); };
    const unsigned quotes = block.quotes;
    unsigned backslashes = block.backslashes;
    const unsigned others = block.others;
    if ((quotes | backslashes | others) == 0) {  // plain
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      p += 16;
      out += 16;
      continue;
    }
    unsigned length = 16;
    unsigned dropped = backslashes;
    if ((backslashes & 0x8000) != 0) {
      if ((backslashes & 0x4000) != 0) return p;
      backslashes &= 0x7FFF;  // its escape is the next block's; the byte is not output
      length = 15;
    }
    const unsigned escaped = backslashes << 1;
    if (others != 0 || (backslashes & escaped) != 0 || (quotes & ~escaped) != 0 ||
        (escaped & ~(quotes | where('/'))) != 0)
      return p;
    const __m128i shuffle = _mm_unpacklo_epi64(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kept_positions[dropped & 0xFF])),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kept_positions_high[dropped >> 8])));
    const __m128i kept = _mm_shuffle_epi8(bytes, shuffle);
    // The first half's bytes, then the second's over what follows them.
    const unsigned first = kept_counts[dropped & 0xFF];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), kept);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + first), _mm_unpackhi_epi64(kept, kept));
    out += first + kept_counts[dropped >> 8];
    p += length;
  }
  return p;
}
#endif

// The same up to the first backslash, for reading strings.
inline const char* copy_to_backslash(const char* p, const char* end, char*& out) {
#if defined(__SSE2__)
  const __m128i backslash = _mm_set1_epi8('\\');
  for (; end - p >= 16; p += 16, out += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    if (const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, backslash))) {
      const int run = __builtin_ctz(static_cast<unsigned>(mask));
      out += run;
      return p + run;
    }
  }
#endif
  for (; p < end; ++p) {
    if (*p == '\\') return p;
    *out++ = *p;
  }
  return end;
}

// The length of the well-formed UTF-8 sequence at `p` (at most `left` bytes
// available), or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
inline std::size_t utf8_sequence(const char* p, std::size_t left) {
  const auto b = [p](std::size_t i) { return static_cast<unsigned char>(p[i]); };
  const auto tail = [&](std::size_t i) { return (b(i) & 0xC0) == 0x80; };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return left >= 2 && tail(1) ? 2 : 0;
  if (lead < 0xF0) {
    if (left < 3 || !tail(1) || !tail(2)) return 0;
    if (lead == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (lead == 0xED && b(1) > 0x9F) return 0;   // a surrogate
    return 3;
  }
  if (lead > 0xF4 || left < 4 || !tail(1) || !tail(2) || !tail(3)) return 0;
  if (lead == 0xF0 && b(1) < 0x90) return 0;     // overlong
  if (lead == 0xF4 && b(1) > 0x8F) return 0;     // above U+10FFFF
  return 4;
}

}  // namespace quorvex_bo::json::scan
