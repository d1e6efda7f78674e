// The JSON reader: one pass over the text, strings found a vector at a time,
// views into the text wherever a string holds no escape. It accepts exactly the
// grammar of the reference parser that words syntax errors (`syntax_error`):
// RFC 8259 text, well-formed UTF-8, paired surrogate escapes and at most 127
// levels of nesting.

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "json_scan.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/spare.hpp"

namespace quorvex_bo::json {

// Defined beside `syntax_error`: whether the reference parser takes the number
// literal `text` (it refuses exponents beyond the range of an int).
bool reference_takes_number(std::string_view text);

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hexadecimal digits at `p` (at least four bytes available), or -1.
long hex4(const char* p) {
  long out = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(p[i]);
    if (digit < 0) return -1;
    out = out * 16 + digit;
  }
  return out;
}

bool is_high_surrogate(long u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(long u) { return u >= 0xDC00 && u <= 0xDFFF; }

char* put_utf8(char* out, std::uint32_t cp) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// The length of the valid escape at `p` (a backslash), or 0.
std::size_t escape_length(const char* p, const char* end) {
  if (end - p < 2) return 0;
  switch (p[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return 2;
    case 'u': break;
    default: return 0;
  }
  if (end - p < 6) return 0;
  const long u = hex4(p + 2);
  if (u < 0 || is_low_surrogate(u)) return 0;
  if (!is_high_surrogate(u)) return 6;
  // A high surrogate must be followed by the escape of a low one.
  if (end - p < 12 || p[6] != '\\' || p[7] != 'u') return 0;
  const long low = hex4(p + 8);
  return is_low_surrogate(low) ? 12 : 0;
}

// Writes the text of the (valid) string contents [p, end) with escapes decoded
// to `out`, which has room for end - p bytes (no escape is shorter than what it
// stands for) and scan::copy_slack more; returns the end of what was written.
char* unescape(char* out, const char* p, const char* end) {
  while (p < end) {
    const char* slash = scan::copy_to_backslash(p, end, out);
    if (slash == end) break;
    const char c = slash[1];
    p = slash + 2;
    switch (c) {
      case 'b': *out++ = '\b'; break;
      case 'f': *out++ = '\f'; break;
      case 'n': *out++ = '\n'; break;
      case 'r': *out++ = '\r'; break;
      case 't': *out++ = '\t'; break;
      case 'u': {
        auto cp = static_cast<std::uint32_t>(hex4(p));
        p += 4;
        if (is_high_surrogate(cp)) {
          const auto low = static_cast<std::uint32_t>(hex4(p + 2));
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          p += 6;
        }
        out = put_utf8(out, cp);
        break;
      }
      default: *out++ = c; break;  // '"', '\\', '/'
    }
  }
  return out;
}

// `out` becomes the unescaped contents [p, end).
void unescape_into(std::string& out, const char* p, const char* end) {
  const auto room = static_cast<std::size_t>(end - p) + scan::copy_slack;
  out.resize_and_overwrite(room, [&](char* buffer, std::size_t) {
    return static_cast<std::size_t>(unescape(buffer, p, end) - buffer);
  });
}

}  // namespace

void Cursor::fail() {
  if (!failed_) failed_at_ = at();
  failed_ = true;
  p_ = end_;
}

bool Cursor::open(char bracket) {
  if (peek() == Next::invalid || *p_ != bracket || ++depth_ > max_depth) {
    fail();
    return false;
  }
  advance_to(p_ + 1);
  return true;
}

// After a member or element: a comma (true) or the closing bracket (false).
bool Cursor::close_or_comma(std::size_t& n, char bracket) {
  if (n == 0) {
    if (!open(bracket == '}' ? '{' : '[')) return false;
  } else if (p_ != end_ && *p_ == ',') {
    advance_to(p_ + 1);
    ++n;
    return true;
  }
  if (p_ != end_ && *p_ == bracket) {
    closed_at_ = at();
    advance_to(p_ + 1);
    --depth_;
    return false;
  }
  if (n != 0) {
    fail();
    return false;
  }
  ++n;
  return true;
}

bool Cursor::next_member(std::size_t& n, std::string_view& key) {
  return !failed_ && close_or_comma(n, '}') && read_key(key) && after_key(key);
}

bool Cursor::next_member_expecting(std::size_t& n, std::string_view& key, std::string_view likely) {
  if (failed_ || !close_or_comma(n, '}')) return false;
  // `"likely"` compared as bytes: the key is exactly `likely`.
  const std::size_t size = likely.size();
  if (size != 0 && left() > size + 1 && *p_ == '"' && p_[size + 1] == '"' &&
      same_bytes(p_ + 1, likely)) {
    key = likely;
    advance_to(p_ + size + 2);
    return after_key(key);
  }
  return read_key(key) && after_key(key);
}

bool Cursor::read_key(std::string_view& key) {
  if (p_ == end_ || *p_ != '"') {
    fail();
    return false;
  }
  // A key is nearly always plain: its closing quote is the first special byte.
  const char* const begin = p_ + 1;
  const char* const special = scan::to_string_special(begin, end_);
  if (special != end_ && *special == '"') {
    key = std::string_view(begin, static_cast<std::size_t>(special - begin));
    advance_to(special + 1);
    return true;
  }
  const Span span = scan_string();
  if (failed_) return false;
  key = span.escaped ? unescape_to_scratch(span) : span_text(span);
  return true;
}

// The colon after a member's key; the key noted if it is watched.
bool Cursor::after_key(std::string_view key) {
  if (!watch_.empty() && depth_ == 1)
    for (std::size_t i = 0; i < watch_.size() && i < 32; ++i)
      if (text::same(key, watch_[i])) watched_ |= std::uint32_t{1} << i;
  if (p_ == end_ || *p_ != ':') {
    fail();
    return false;
  }
  advance_to(p_ + 1);
  return true;
}

bool Cursor::next_element(std::size_t& n) { return !failed_ && close_or_comma(n, ']'); }

Cursor::Span Cursor::scan_string() {
  const char* p = p_ + 1;
  Span span{offset(p), 0, false};
  for (;;) {
    p = scan::to_string_special(p, end_);
    if (p == end_) break;
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      span.end = offset(p);
      advance_to(p + 1);
      return span;
    }
    std::size_t length = 0;
    if (c == '\\') {
      length = escape_length(p, end_);
      span.escaped = true;
    } else if (c >= 0x80) {
      length = scan::utf8_sequence(p, static_cast<std::size_t>(end_ - p));
    }
    if (length == 0) break;  // a control character or a malformed sequence
    p += length;
  }
  p_ = p;
  fail();
  return span;
}

// Checks and unescapes the string token at the cursor in one pass into `out`,
// made as long as the rest of the text (which a caller keeps short). False, and
// the cursor failed, on an invalid string.
bool Cursor::scan_unescape(std::string& out) {
  const char* const end = end_;
  const char* p = p_ + 1;
  bool closed = false;
#if defined(__SSE2__)
  const bool shuffle = scan::has_ssse3();
#endif
  out.resize_and_overwrite(static_cast<std::size_t>(end - p) + scan::copy_slack,
                           [&](char* buffer, std::size_t) {
    char* o = buffer;
    for (;;) {
#if defined(__SSE2__)
      if (shuffle) p = scan::drop_backslashes(p, end, o);
#endif
      p = scan::unescape_blocks(p, end, o, scan::simple_escapes);
      p = scan::copy_to_string_special(p, end, o);
      if (p == end) break;
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"') {
        closed = true;
        break;
      }
      std::size_t length = 0;
      if (c == '\\') {
        if (end - p >= 2) {
          if (const char simple = scan::simple_escapes[static_cast<unsigned char>(p[1])]) {
            *o++ = simple;
            p += 2;
            continue;
          }
        }
        length = escape_length(p, end);
        if (length == 0) break;
        o = unescape(o, p, p + length);
      } else if (c >= 0x80) {
        length = scan::utf8_sequence(p, static_cast<std::size_t>(end - p));
        if (length == 0) break;
        std::memcpy(o, p, length);
        o += length;
      } else {
        break;  // a control character
      }
      p += length;
    }
    return static_cast<std::size_t>(o - buffer);
  });
  p_ = p;
  if (!closed) {
    fail();
    return false;
  }
  advance_to(p_ + 1);
  return true;
}

std::string_view Cursor::unescape_to_scratch(Span span) {
  unescape_into(scratch_, begin_ + span.begin, begin_ + span.end);
  return scratch_;
}

// The string token at the cursor copied into `out` when it has nothing to
// decode, as most have: true then, and the cursor is past it.
bool Cursor::plain_string(std::string& out) {
  const char* const begin = p_ + 1;
  const char* const special = scan::to_string_special(begin, end_);
  if (special == end_ || *special != '"') return false;
  out.assign(begin, special);
  advance_to(special + 1);
  return true;
}

std::string Cursor::string() {
  if (peek() != Next::string) {
    fail();
    return {};
  }
  std::string out;
  if (left() < spare::large_bytes) {
    string_to(out);
    return out;
  }
  const Span span = scan_string();
  if (failed_) return out;
  // A long text takes the thread's spare buffer.
  if (span.end - span.begin >= spare::large_bytes) out = spare::take();
  if (span.escaped)
    unescape_into(out, begin_ + span.begin, begin_ + span.end);
  else
    out.assign(begin_ + span.begin, span.end - span.begin);
  return out;
}

void Cursor::string_to(std::string& out) {
  if (left() >= spare::large_bytes) return string_into(out);
  if (peek() != Next::string) {
    fail();
    return;
  }
  if (plain_string(out)) return;
  // Checked and unescaped in one pass, then copied at its size.
  std::string& buffer = spare::scratch();
  if (scan_unescape(buffer)) out.assign(buffer);
}

void Cursor::string_into(std::string& out) {
  if (peek() != Next::string) {
    fail();
    return;
  }
  if (left() < spare::large_bytes) {
    if (!plain_string(out)) scan_unescape(out);
    return;
  }
  const Span span = scan_string();
  if (failed_) return;
  if (span.escaped)
    unescape_into(out, begin_ + span.begin, begin_ + span.end);
  else
    out.assign(begin_ + span.begin, span.end - span.begin);
}

std::string_view Cursor::string_view() {
  if (peek() != Next::string) {
    fail();
    return {};
  }
  // The common plain string, found with one scan.
  const char* const begin = p_ + 1;
  const char* const special = scan::to_string_special(begin, end_);
  if (special != end_ && *special == '"') {
    advance_to(special + 1);
    return {begin, static_cast<std::size_t>(special - begin)};
  }
  const Span span = scan_string();
  if (failed_) return {};
  return span.escaped ? unescape_to_scratch(span) : span_text(span);
}

std::string_view Cursor::number() {
  if (peek() != Next::number) {
    fail();
    return {};
  }
  const char* const start = p_;
  const char* const end = end_;
  const char* i = p_;
  std::size_t digits = 0;
  auto run = [&] {
    const char* const first = i;
    while (i != end && is_digit(*i)) ++i;
    digits += static_cast<std::size_t>(i - first);
    return i > first;
  };
  if (*i == '-') ++i;
  bool ok = true;
  if (i != end && *i == '0') {
    ++i;
    ++digits;
  } else {
    ok = run();
  }
  if (ok && i != end && *i == '.') {
    ++i;
    ok = run();
  }
  bool large_exponent = false;
  if (ok && i != end && (*i == 'e' || *i == 'E')) {
    ++i;
    if (i != end && (*i == '+' || *i == '-')) ++i;
    long long exponent = 0;
    const char* const first = i;
    for (; i != end && is_digit(*i); ++i)
      if (exponent < LLONG_MAX / 100) exponent = exponent * 10 + (*i - '0');
    ok = i > first;
    // Near the range of an int the reference parser's verdict also depends on
    // the digits before the exponent: ask it.
    large_exponent = exponent + static_cast<long long>(digits) + 2 >= INT_MAX;
  }
  const std::string_view literal(start, static_cast<std::size_t>(i - start));
  p_ = i;
  if (!ok || (large_exponent && !reference_takes_number(literal))) {
    fail();
    return {};
  }
  skip_space();
  return literal;
}

bool Cursor::literal(std::string_view word) {
  if (left() < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) {
    fail();
    return false;
  }
  advance_to(p_ + word.size());
  return true;
}

bool Cursor::boolean() {
  if (peek() != Next::boolean) {
    fail();
    return false;
  }
  if (*p_ == 't') return literal("true");
  literal("false");
  return false;
}

void Cursor::null() {
  if (peek() != Next::null) {
    fail();
    return;
  }
  literal("null");
}

void Cursor::skip() {
  switch (peek()) {
    case Next::object: {
      std::string_view key;
      for (std::size_t n = 0; next_member(n, key);) skip();
      return;
    }
    case Next::array:
      for (std::size_t n = 0; next_element(n);) skip();
      return;
    case Next::string: scan_string(); return;
    case Next::number: number(); return;
    case Next::boolean: boolean(); return;
    case Next::null: null(); return;
    case Next::invalid: fail(); return;
  }
}

Value Cursor::value() {
  Value out;
  value_into(out);
  return out;
}

void Cursor::value_into(Value& out) {
  const Next next = peek();
  out.mark = at();
  Value::Storage& storage = out.storage();
  switch (next) {
    case Next::object: {
      std::vector<Member> members;
      members.reserve(8);
      std::string_view key;
      for (std::size_t n = 0; next_member(n, key);) {
        // Built in place: the key copied first (its view ends with the next string).
        Member& member = members.emplace_back();
        member.key.assign(key);
        value_into(member.value);
      }
      storage.emplace<Object>(Object::from_unsorted(std::move(members)));
      out.end_mark = closed_at_;
      return;
    }
    case Next::array: {
      Array& items = storage.emplace<Array>();
      for (std::size_t n = 0; next_element(n);) value_into(items.emplace_back());
      out.end_mark = closed_at_;
      return;
    }
    case Next::string: string_to(storage.emplace<std::string>()); return;
    case Next::number: storage.emplace<Number>().text.assign(number()); return;
    case Next::boolean: storage.emplace<bool>(boolean()); return;
    case Next::null: null(); return;
    case Next::invalid: out.mark = no_mark; fail(); return;
  }
}

bool Cursor::at_end() {
  skip_space();
  if (!failed_ && p_ != end_) fail();
  return !failed_;
}

}  // namespace quorvex_bo::json
