#include "quorvex_bo/core/json.hpp"

#include "json_scan.hpp"
#include "reference_listener.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include "quorvex_bo/core/spare.hpp"
#include "quorvex_bo/core/text.hpp"

#include <boost/json/basic_parser_impl.hpp>

namespace quorvex_bo::json {

// ---- Object -----------------------------------------------------------------

namespace {

struct KeyLess {
  bool operator()(const Member& m, std::string_view key) const { return text::less(m.key, key); }
  bool operator()(std::string_view key, const Member& m) const { return text::less(key, m.key); }
  bool operator()(const Member& a, const Member& b) const { return text::less(a.key, b.key); }
};

}  // namespace

const Value* Object::find(std::string_view key) const {
  // The few members of a gateway object are compared by length first.
  if (members_.size() <= 8) {
    for (const Member& member : members_)
      if (text::same(member.key, key)) return &member.value;
    return nullptr;
  }
  auto it = std::upper_bound(members_.begin(), members_.end(), key, KeyLess{});
  if (it == members_.begin() || std::prev(it)->key != key) return nullptr;
  return &std::prev(it)->value;
}

Value* Object::find(std::string_view key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

void Object::insert_or_assign(std::string key, Value value) {
  auto [first, last] = std::equal_range(members_.begin(), members_.end(), key, KeyLess{});
  if (first == last) {
    members_.insert(first, Member{std::move(key), std::move(value)});
    return;
  }
  first->value = std::move(value);
}

Object Object::from_unsorted(std::vector<Member> members) {
  Object out;
  out.members_ = std::move(members);
  std::vector<Member>& m = out.members_;
  // Documents written by programs are often sorted already; checking is cheap.
  auto not_ascending = [](const Member& a, const Member& b) { return !text::less(a.key, b.key); };
  if (std::adjacent_find(m.begin(), m.end(), not_ascending) == m.end()) return out;
  // Stable, so that of a repeated key the last occurrence is the last of its run;
  // the few members of a gateway object are sorted in place, without a buffer.
  if (m.size() <= 32) {
    for (auto it = std::next(m.begin()); it != m.end(); ++it) {
      if (!text::less(it->key, std::prev(it)->key)) continue;
      Member moving = std::move(*it);
      auto hole = it;
      for (; hole != m.begin() && text::less(moving.key, std::prev(hole)->key); --hole)
        *hole = std::move(*std::prev(hole));
      *hole = std::move(moving);
    }
  } else {
    std::stable_sort(m.begin(), m.end(), KeyLess{});
  }
  auto kept = m.begin();
  for (auto it = m.begin(); it != m.end(); ++it) {
    if (std::next(it) != m.end() && std::next(it)->key == it->key) continue;
    if (kept != it) *kept = std::move(*it);
    ++kept;
  }
  m.erase(kept, m.end());
  return out;
}

bool operator==(const Object& a, const Object& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Member& x, const Member& y) {
    return x.key == y.key && x.value == y.value;
  });
}

bool operator==(const Value& a, const Value& b) { return a.storage() == b.storage(); }

// ---- Parsing ----------------------------------------------------------------

namespace {

using boost::system::error_code;


// The reference parser's first error in `text` and the bytes it read up to it.
std::pair<error_code, std::size_t> reference_parse(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = max_depth;
  boost::json::basic_parser<Listener> parser(options);
  error_code ec;
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used < text.size()) ec = boost::json::error::extra_data;
  return {ec, used};
}

// 1-based line and column (in characters) of a byte offset.
std::string at_offset(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = 1;
  for (std::size_t i = line_start; i < offset; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string syntax_message(const error_code& ec) {
  namespace bj = boost::json;
  if (ec == bj::error::too_deep) return "recursion limit exceeded";
  if (ec == bj::error::extra_data) return "trailing characters";
  if (ec == bj::error::incomplete) return "EOF while parsing a value";
  return ec.message();
}

}  // namespace

std::expected<Value, std::string> parse(std::string_view text) {
  Cursor cursor(text);
  Value value = cursor.value();
  if (!cursor.at_end()) return std::unexpected(syntax_error(text, cursor.failed_at()));
  return value;
}

std::string syntax_error(std::string_view text, std::size_t fallback) {
  auto [ec, used] = reference_parse(text);
  if (!ec) return "syntax error" + at_offset(text, fallback);  // the two parsers disagree
  return syntax_message(ec) + at_offset(text, used);
}

bool reference_takes_number(std::string_view text) { return !reference_parse(text).first; }

std::string position_suffix(std::string_view text, std::size_t offset) {
  if (offset == no_mark) return {};
  return at_offset(text, offset);
}

bool is_number_literal(std::string_view t) {
  std::size_t i = 0;
  auto digits = [&] {
    std::size_t start = i;
    while (i < t.size() && text::is_ascii_digit(t[i])) ++i;
    return i > start;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

// ---- Writing ----------------------------------------------------------------

namespace {

// 0: copy as is; otherwise the short escape letter, or 'u' for \u00XX.
constexpr std::array<char, 256> escape_table = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

// The bytes an escape adds to the byte it stands for.
constexpr std::array<std::uint8_t, 256> escape_extra = [] {
  std::array<std::uint8_t, 256> t{};
  for (std::size_t c = 0; c < t.size(); ++c)
    t[c] = escape_table[c] == 0 ? 0 : escape_table[c] == 'u' ? 5 : 1;
  return t;
}();

static_assert(scan::copy_slack <= write_slack, "the scans store whole blocks within the slack");

// Writes the escape of `byte` at `out`; returns the end.
char* put_escape(char* out, unsigned char byte) {
  static constexpr char hex[] = "0123456789abcdef";
  const char escape = escape_table[byte];
  *out++ = '\\';
  *out++ = escape;
  if (escape == 'u') {
    *out++ = '0';
    *out++ = '0';
    *out++ = hex[byte >> 4];
    *out++ = hex[byte & 0xF];
  }
  return out;
}

// Writes `text` with its escapes at `out`, which has room for them and
// scan::copy_slack more; returns the end.
char* put_escaped(char* out, const char* p, const char* const end) {
  const char* const begin = p;
#if defined(__SSE2__)
  // A JSON text written as a string (a request body) has many bytes to escape.
  p = scan::copy_blocks(p, end, out, scan::write_specials,
                        [](const char*& at, char*& to, unsigned) -> unsigned {
                          to = put_escape(to, static_cast<unsigned char>(*at++));
                          return 1;
                        });
#endif
  for (;;) {
    const char* special = scan::copy_to_escape(p, end, out, begin);
    if (special == end) return out;
    out = put_escape(out, static_cast<unsigned char>(*special));
    p = special + 1;
  }
}

// The room of the escaped text without its quotes: for a short text the worst
// case, for a long one its escapes counted.
std::size_t escaped_room(std::string_view text) {
  return json_room(text) - 2;
}

// The room of a value with every string's escapes counted (`exact`), or with
// the worst case of each short string. Scalars are handled in the loops; only
// nested arrays and objects recurse.
std::size_t value_room(const Value& value, bool exact) {
  const auto string_room = [exact](std::string_view text) {
    return exact ? counted_string_room(text) : json_room(text);
  };
  const auto room = [&](const Value& v) {
    switch (v.kind()) {
      case Kind::null: return std::size_t{4};
      case Kind::boolean: return std::size_t{5};
      case Kind::number: return v.as_number()->text.size();
      case Kind::string: return string_room(*v.as_string());
      case Kind::array:
      case Kind::object: return value_room(v, exact);
    }
    return std::size_t{0};
  };
  std::size_t total = 2;
  if (const Array* array = value.as_array()) {
    for (const Value& element : *array) total += room(element) + 1;
  } else if (const Object* object = value.as_object()) {
    for (const Member& member : *object) total += string_room(member.key) + room(member.value) + 2;
  } else {
    total = room(value);
  }
  return total;
}

}  // namespace

std::size_t counted_string_room(std::string_view text) {
  std::size_t room = 2 + text.size();
  if (text.size() < 16 && scan::copy_tiny_plain(text.data(), text.size(), nullptr)) return room;
  const char* const end = text.data() + text.size();
  for (const char* at = scan::to_escape(text.data(), end); at != end; at = scan::to_escape(at + 1, end))
    room += escape_extra[static_cast<unsigned char>(*at)];
  return room;
}

namespace {

// Copies what leads `text` in plain blocks of 64 bytes to `out`; returns where
// that stopped (at once without SSE2).
const char* copy_plain_lead(const char* p, const char* end, char*& out) {
#if defined(__SSE2__)
  return scan::copy_plain_64(p, end, out);
#else
  (void)end;
  (void)out;
  return p;
#endif
}

// A quoted text of 16 bytes or more, or one that needs escapes: the plain ones
// copied whole, the rest escaped after its plain lead.
[[gnu::noinline]] char* write_quoted(char* at, std::string_view text) {
  const char* const end = text.data() + text.size();
  *at++ = '"';
  if (text.size() >= 16 && text.size() < scan::short_plain_bytes &&
      scan::copy_short_plain(text.data(), text.size(), at)) {
    at += text.size();
  } else {
    const char* const rest = copy_plain_lead(text.data(), end, at);
    at = put_escaped(at, rest, end);
  }
  *at++ = '"';
  return at;
}

}  // namespace

char* write_json(char* at, std::string_view text) {
  // Most texts of a record are short and plain: one check, one copy.
  if (text.size() < 16 && scan::copy_tiny_plain(text.data(), text.size(), at + 1)) {
    *at = '"';
    at += 1 + text.size();
    *at++ = '"';
    return at;
  }
  return write_quoted(at, text);
}

std::size_t json_room(const Value& value) {
  // The worst case of short strings can be six times the text: a large value
  // counts its escapes instead.
  constexpr std::size_t loose_up_to = 1 << 20;
  const std::size_t loose = value_room(value, false);
  return loose <= loose_up_to ? loose : value_room(value, true);
}

namespace {

char* write_container(char* at, const Value& value);

// A scalar in place; an array or object through the loops below.
inline char* write_element(char* at, const Value& value) {
  switch (value.kind()) {
    case Kind::null: return write_json(at, nullptr);
    case Kind::boolean: return write_json(at, *value.as_bool());
    case Kind::number: {
      const std::string& text = value.as_number()->text;
      return text::copy(at, text.data(), text.size());
    }
    case Kind::string: return write_json(at, *value.as_string());
    case Kind::array:
    case Kind::object: return write_container(at, value);
  }
  return at;
}

char* write_container(char* at, const Value& value) {
  // Each element is followed by a comma; the last one's becomes the bracket.
  if (const Array* array = value.as_array()) {
    *at++ = '[';
    for (const Value& element : *array) {
      at = write_element(at, element);
      *at++ = ',';
    }
    if (!array->empty()) --at;
    *at++ = ']';
    return at;
  }
  const Object& object = *value.as_object();
  *at++ = '{';
  for (const Member& member : object) {
    at = write_json(at, member.key);
    *at++ = ':';
    at = write_element(at, member.value);
    *at++ = ',';
  }
  if (!object.empty()) --at;
  *at++ = '}';
  return at;
}

}  // namespace

char* write_json(char* at, const Value& value) { return write_element(at, value); }

void write_string(std::string& out, std::string_view text) { append_bounded(out, text); }

void write_string(std::string& out, std::initializer_list<std::string_view> parts) {
  std::size_t room = 2 + scan::copy_slack;
  for (std::string_view part : parts) room += escaped_room(part);
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + room, [&](char* buffer, std::size_t) {
    char* at = buffer + start;
    *at++ = '"';
    for (std::string_view part : parts) at = put_escaped(at, part.data(), part.data() + part.size());
    *at++ = '"';
    return static_cast<std::size_t>(at - buffer);
  });
}

void write_json(std::string& out, MostlyPlain plain) {
  const std::string_view text = plain.text;
  const char* const end = text.data() + text.size();
  const char* rest = text.data();
  // Room for the text as it is, and for the worst case of a short plain rest.
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + 1 + text.size() + 6 * 64 + 2 + write_slack,
                           [&](char* buffer, std::size_t) {
                             char* at = buffer + start;
                             *at++ = '"';
                             rest = copy_plain_lead(rest, end, at);
                             return static_cast<std::size_t>(at - buffer);
                           });
  // The rest from the first block that holds an escape, measured now.
  const std::string_view tail(rest, static_cast<std::size_t>(end - rest));
  const std::size_t done = out.size();
  out.resize_and_overwrite(done + json_room(tail) + write_slack, [&](char* buffer, std::size_t) {
    char* at = put_escaped(buffer + done, tail.data(), end);
    *at++ = '"';
    return static_cast<std::size_t>(at - buffer);
  });
}

void write_json(std::string& out, std::string_view text) { append_bounded(out, text); }
void write_json(std::string& out, const std::string& text) { append_bounded(out, text); }
void write_json(std::string& out, const char* text) { append_bounded(out, text); }
void write_json(std::string& out, bool flag) { append_bounded(out, flag); }
void write_json(std::string& out, std::nullptr_t) { out += "null"; }
void write_json(std::string& out, const Value& value) { append_bounded(out, value); }
TextMap::TextMap(std::initializer_list<value_type> entries) {
  for (const value_type& entry : entries) insert_or_assign(entry.first, entry.second);
}

void TextMap::insert_or_assign(std::string key, std::string text) {
  if (entries_.capacity() == 0) entries_.reserve(4);
  // Entries usually come in order: the place is then at the end.
  auto at = entries_.end();
  if (!entries_.empty() && !text::less(entries_.back().first, key))
    at = std::lower_bound(entries_.begin(), entries_.end(), key,
                          [](const value_type& entry, const std::string& k) {
                            return text::less(entry.first, k);
                          });
  if (at != entries_.end() && text::same(at->first, key)) {
    at->second = std::move(text);
    return;
  }
  entries_.insert(at, value_type(std::move(key), std::move(text)));
}

TextMap TextMap::from_unsorted(std::vector<value_type> entries) {
  TextMap out;
  out.entries_ = std::move(entries);
  std::vector<value_type>& e = out.entries_;
  // Stable, so that of a repeated key the last occurrence ends its run; a few
  // entries (a request's headers) are sorted in place.
  auto before = [](const value_type& a, const value_type& b) { return text::less(a.first, b.first); };
  if (e.size() <= 16) {
    for (std::size_t i = 1; i < e.size(); ++i)
      for (std::size_t j = i; j > 0 && before(e[j], e[j - 1]); --j) std::swap(e[j], e[j - 1]);
  } else {
    std::stable_sort(e.begin(), e.end(), before);
  }
  auto kept = e.begin();
  for (auto it = e.begin(); it != e.end(); ++it) {
    if (std::next(it) != e.end() && text::same(std::next(it)->first, it->first)) continue;
    if (kept != it) *kept = std::move(*it);
    ++kept;
  }
  e.erase(kept, e.end());
  return out;
}

std::string& TextMap::operator[](std::string_view key) {
  auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const value_type& entry, std::string_view k) { return entry.first < k; });
  if (at == entries_.end() || at->first != key) at = entries_.insert(at, value_type(key, std::string()));
  return at->second;
}

std::size_t json_room(const TextMap& map) {
  std::size_t room = 2;
  for (const auto& [key, text] : map) room += json_room(key) + json_room(text) + 2;
  return room;
}

char* write_json(char* at, const TextMap& map) {
  *at++ = '{';
  for (const auto& [key, text] : map) {
    at = write_json(at, key);
    *at++ = ':';
    at = write_json(at, text);
    *at++ = ',';
  }
  if (!map.empty()) --at;
  *at++ = '}';
  return at;
}

void write_json(std::string& out, const TextMap& map) { append_bounded(out, map); }

std::string write(const Value& value) {
  std::string out;
  append_bounded(out, value);
  return out;
}

// ---- Record decoding --------------------------------------------------------

namespace {

bool is_integer_literal(std::string_view text) {
  return text.find_first_of(".eE") == std::string_view::npos;
}

// The integer of a number literal that starts at `mark`.
template <class T>
Decoded<T> integer_from_text(std::string_view text, std::size_t mark, std::string_view expected) {
  // A status or a count: a few digits that fit, read as they come.
  if (!text.empty() && text.size() <= 9) {
    std::uint64_t small = 0;
    bool digits = true;
    for (char c : text) {
      digits = digits && c >= '0' && c <= '9';
      small = small * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (digits && small <= static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
      return static_cast<T>(small);
  }
  if (!is_integer_literal(text))
    return std::unexpected(DecodeError{
        "invalid type: floating point `" + std::string(text) + "`, expected " + std::string(expected),
        mark});
  bool negative = !text.empty() && text.front() == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  auto out_of_range = [&] {
    return std::unexpected(DecodeError{
        "invalid value: integer `" + std::string(text) + "`, expected " + std::string(expected), mark});
  };
  if (negative && digits.find_first_not_of('0') == std::string_view::npos) return T{0};
  if constexpr (std::is_unsigned_v<T>) {
    if (negative) return out_of_range();
    T out{};
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    if (ec != std::errc{} || ptr != digits.data() + digits.size()) return out_of_range();
    return out;
  } else {
    T out{};
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc{} || ptr != text.data() + text.size()) return out_of_range();
    return out;
  }
}

template <class T>
Decoded<T> read_integer(const Value& value, std::string_view expected) {
  const Number* number = value.as_number();
  if (!number) return invalid_type(value, expected);
  return integer_from_text<T>(number->text, value.mark, expected);
}

template <class T>
Decoded<T> read_integer(Cursor& cursor, std::string_view expected) {
  if (cursor.peek() != Cursor::Next::number) {
    Value value = cursor.value();
    return invalid_type(value, expected);
  }
  const std::size_t at = cursor.at();
  return integer_from_text<T>(cursor.number(), at, expected);
}

}  // namespace

std::string describe_found(const Value& value) {
  switch (value.kind()) {
    case Kind::null: return "null";
    case Kind::boolean: return std::string("boolean `") + (*value.as_bool() ? "true" : "false") + "`";
    case Kind::number: {
      const std::string& text = value.as_number()->text;
      return (is_integer_literal(text) ? "integer `" : "floating point `") + text + "`";
    }
    case Kind::string: {
      std::string out = "string ";
      write_string(out, *value.as_string());
      return out;
    }
    case Kind::array: return "sequence";
    case Kind::object: return "map";
  }
  return "value";
}

std::unexpected<DecodeError> invalid_type(const Value& value, std::string_view expected) {
  return fail(value, "invalid type: " + describe_found(value) + ", expected " + std::string(expected));
}

std::string unknown_variant(std::string_view found, std::span<const std::string_view> expected) {
  std::string out = "unknown variant `" + std::string(found) + "`, ";
  if (expected.empty()) return out + "there are no variants";
  if (expected.size() == 1) return out + "expected `" + std::string(expected[0]) + "`";
  if (expected.size() == 2)
    return out + "expected `" + std::string(expected[0]) + "` or `" + std::string(expected[1]) + "`";
  out += "expected one of ";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (i) out += ", ";
    out += "`" + std::string(expected[i]) + "`";
  }
  return out;
}

std::string invalid_length(std::size_t found, std::string_view record, std::size_t expected) {
  return "invalid length " + std::to_string(found) + ", expected struct " + std::string(record) +
         " with " + std::to_string(expected) + (expected == 1 ? " element" : " elements");
}

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}
std::string duplicate_field(std::string_view name) {
  return "duplicate field `" + std::string(name) + "`";
}

Decoded<std::string> Reader<std::string>::read(Value&& value) {
  std::string* text = value.as_string();
  if (!text) return invalid_type(value, "a string");
  return std::move(*text);
}

Decoded<std::string> Reader<std::string>::read(Cursor& cursor) {
  if (cursor.peek() != Cursor::Next::string) return read_whole<std::string>(cursor);
  return cursor.string();
}

Decoded<std::string> read_spare_text(Value&& value) {
  return Reader<std::string>::read(std::move(value));
}

std::optional<DecodeError> read_spare_text(Cursor& cursor, std::string& out) {
  if (cursor.peek() != Cursor::Next::string) return read_whole<std::string>(cursor).error();
  out = spare::take();
  cursor.string_into(out);
  return std::nullopt;
}

Decoded<bool> Reader<bool>::read(Value&& value) {
  const bool* b = value.as_bool();
  if (!b) return invalid_type(value, "a boolean");
  return *b;
}

Decoded<std::uint16_t> Reader<std::uint16_t>::read(Value&& value) {
  return read_integer<std::uint16_t>(value, "u16");
}
Decoded<std::uint16_t> Reader<std::uint16_t>::read(Cursor& cursor) {
  return read_integer<std::uint16_t>(cursor, "u16");
}
Decoded<std::uint32_t> Reader<std::uint32_t>::read(Value&& value) {
  return read_integer<std::uint32_t>(value, "u32");
}
Decoded<std::uint32_t> Reader<std::uint32_t>::read(Cursor& cursor) {
  return read_integer<std::uint32_t>(cursor, "u32");
}
Decoded<std::uint64_t> Reader<std::uint64_t>::read(Value&& value) {
  return read_integer<std::uint64_t>(value, "u64");
}
Decoded<std::uint64_t> Reader<std::uint64_t>::read(Cursor& cursor) {
  return read_integer<std::uint64_t>(cursor, "u64");
}
Decoded<std::int64_t> Reader<std::int64_t>::read(Value&& value) {
  return read_integer<std::int64_t>(value, "i64");
}
Decoded<std::int64_t> Reader<std::int64_t>::read(Cursor& cursor) {
  return read_integer<std::int64_t>(cursor, "i64");
}

Decoded<TextMap> Reader<TextMap>::read(Value&& value) {
  Object* object = value.as_object();
  if (!object) return invalid_type(value, "a map");
  TextMap out;
  for (Member& member : *object) {
    std::string* text = member.value.as_string();
    if (!text) return invalid_type(member.value, "a string");
    out.insert_or_assign(std::move(member.key), std::move(*text));
  }
  return out;
}

namespace {

// The members of the object of texts at the cursor, each string member handed to
// `on_text(key)` with the cursor on its value, which it reads. The error is that
// of the first key in byte order whose value is not a string, as a value sorted
// by key shows it; nullopt also when the text is invalid (the cursor failed).
template <class OnText>
std::optional<DecodeError> each_text_member(Cursor& cursor, OnText on_text) {
  if (cursor.peek() != Cursor::Next::object) {
    Value value = cursor.value();
    return invalid_type(value, "a map").error();
  }
  std::optional<DecodeError> error;
  std::string error_key;
  std::string_view key;
  for (std::size_t n = 0; cursor.next_member(n, key);) {
    if (cursor.peek() == Cursor::Next::string) {
      on_text(key);
      continue;
    }
    if (error && key >= error_key) {
      cursor.skip();
      continue;
    }
    error_key = key;
    Value found = cursor.value();
    error = invalid_type(found, "a string").error();
  }
  return error;
}

}  // namespace

Decoded<TextMap> Reader<TextMap>::read(Cursor& cursor) {
  // In a value only the last occurrence of a name counts, also for its type.
  if (cursor.repeats() == Repeats::last_counts) return read_whole<TextMap>(cursor);
  std::vector<TextMap::value_type> entries;
  entries.reserve(4);
  std::optional<DecodeError> error = each_text_member(cursor, [&](std::string_view key) {
    TextMap::value_type& entry = entries.emplace_back(std::string(key), std::string());
    cursor.string_to(entry.second);  // of a repeat the last wins, once sorted
  });
  if (error) return std::unexpected(std::move(*error));
  return TextMap::from_unsorted(std::move(entries));
}

Decoded<TextMembers> Reader<TextMembers>::read(Cursor& cursor) {
  const std::size_t start = cursor.at();
  std::optional<DecodeError> error =
      each_text_member(cursor, [&](std::string_view) { cursor.skip(); });
  if (error) return std::unexpected(std::move(*error));
  if (cursor.failed()) return TextMembers{};  // the caller reports the syntax error
  return TextMembers{cursor.text_between(start, cursor.closed_at() + 1)};
}

std::optional<std::string> TextMembers::find_folded(std::string_view name) const {
  Cursor cursor(text);
  std::optional<std::string> found;
  std::string found_key;
  std::string_view key;
  for (std::size_t n = 0; cursor.next_member(n, key);) {
    if (key.size() != name.size() || !text::ascii_iequals(key, name) ||
        (found && key > found_key)) {
      cursor.skip();
      continue;
    }
    found_key = key;  // before the value, which may reuse the key's buffer
    found = std::string(cursor.string_view());
  }
  return found;
}

}  // namespace quorvex_bo::json
