#include "quorvex_bo/core/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "quorvex_bo/core/text.hpp"

#include <boost/json/basic_parser_impl.hpp>

namespace quorvex_bo::json {

// ---- Object -----------------------------------------------------------------

namespace {

struct KeyLess {
  bool operator()(const Member& m, std::string_view key) const { return m.key < key; }
  bool operator()(std::string_view key, const Member& m) const { return key < m.key; }
  bool operator()(const Member& a, const Member& b) const { return a.key < b.key; }
};

}  // namespace

const Value* Object::find(std::string_view key) const {
  auto it = std::upper_bound(members_.begin(), members_.end(), key, KeyLess{});
  if (it == members_.begin() || std::prev(it)->key != key) return nullptr;
  return &std::prev(it)->value;
}

Value* Object::find(std::string_view key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

std::span<const Member> Object::all(std::string_view key) const {
  auto [first, last] = std::equal_range(members_.begin(), members_.end(), key, KeyLess{});
  return {first, last};
}

std::span<Member> Object::all(std::string_view key) {
  auto [first, last] = std::equal_range(members_.begin(), members_.end(), key, KeyLess{});
  return {first, last};
}

void Object::insert_or_assign(std::string key, Value value) {
  auto [first, last] = std::equal_range(members_.begin(), members_.end(), key, KeyLess{});
  if (first == last) {
    members_.insert(first, Member{std::move(key), std::move(value)});
    return;
  }
  first->value = std::move(value);
  members_.erase(std::next(first), last);
}

Object Object::from_unsorted(std::vector<Member> members) {
  Object out;
  out.members_ = std::move(members);
  // Documents written by programs are often sorted already; checking is cheap.
  if (!std::is_sorted(out.members_.begin(), out.members_.end(), KeyLess{}))
    std::stable_sort(out.members_.begin(), out.members_.end(), KeyLess{});
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

// Builds the tree from the tokenizer's events. Completed values wait on a stack
// until their container closes; every value start and container end takes the
// next mark, in document order.
class TreeBuilder {
 public:
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

  Value take() { return std::move(values_.back()); }
  bool mark_overflow() const { return overflow_; }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_array_begin(error_code&) {
    frames_.push_back(next_mark());
    return true;
  }
  bool on_array_end(std::size_t n, error_code&) {
    Array array;
    array.reserve(n);
    auto first = values_.end() - static_cast<std::ptrdiff_t>(n);
    std::move(first, values_.end(), std::back_inserter(array));
    values_.erase(first, values_.end());
    close(Value(std::move(array)));
    return true;
  }

  bool on_object_begin(error_code&) {
    frames_.push_back(next_mark());
    return true;
  }
  bool on_object_end(std::size_t n, error_code&) {
    std::vector<Member> members;
    members.reserve(n);
    auto value = values_.end() - static_cast<std::ptrdiff_t>(n);
    auto key = keys_.end() - static_cast<std::ptrdiff_t>(n);
    auto k = key;
    for (auto v = value; v != values_.end(); ++v, ++k)
      members.push_back(Member{std::move(*k), std::move(*v)});
    values_.erase(value, values_.end());
    keys_.erase(key, keys_.end());
    close(Value(Object::from_unsorted(std::move(members))));
    return true;
  }

  bool on_string_part(std::string_view s, std::size_t, error_code&) {
    text_.append(s);
    return true;
  }
  bool on_string(std::string_view s, std::size_t, error_code&) {
    scalar(Value(finish(text_, s)));
    return true;
  }
  bool on_key_part(std::string_view s, std::size_t, error_code&) {
    text_.append(s);
    return true;
  }
  bool on_key(std::string_view s, std::size_t, error_code&) {
    keys_.push_back(finish(text_, s));
    return true;
  }

  bool on_number_part(std::string_view s, error_code&) {
    text_.append(s);
    return true;
  }
  bool on_int64(std::int64_t, std::string_view s, error_code&) { return number(s); }
  bool on_uint64(std::uint64_t, std::string_view s, error_code&) { return number(s); }
  bool on_double(double, std::string_view s, error_code&) { return number(s); }

  bool on_bool(bool b, error_code&) {
    scalar(Value(b));
    return true;
  }
  bool on_null(error_code&) {
    scalar(Value(nullptr));
    return true;
  }
  bool on_comment_part(std::string_view, error_code&) { return true; }
  bool on_comment(std::string_view, error_code&) { return true; }

 private:
  std::uint32_t next_mark() {
    if (mark_ == no_mark - 1) overflow_ = true;
    return overflow_ ? no_mark : mark_++;
  }

  // The whole text of a token that may have arrived in parts.
  static std::string finish(std::string& parts, std::string_view last) {
    if (parts.empty()) return std::string(last);
    parts.append(last);
    std::string out = std::move(parts);
    parts.clear();
    return out;
  }

  bool number(std::string_view s) {
    scalar(Value(Number{finish(text_, s)}));
    return true;
  }

  void scalar(Value v) {
    v.mark = next_mark();
    values_.push_back(std::move(v));
  }

  void close(Value v) {
    v.mark = frames_.back();
    frames_.pop_back();
    v.end_mark = next_mark();
    values_.push_back(std::move(v));
  }

  std::vector<Value> values_;
  std::vector<std::string> keys_;
  std::vector<std::uint32_t> frames_;
  std::string text_;
  std::uint32_t mark_ = 0;
  bool overflow_ = false;
};

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

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::expected<Value, std::string> parse(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = max_depth;
  boost::json::basic_parser<TreeBuilder> parser(options);
  error_code ec;
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used < text.size()) ec = boost::json::error::extra_data;
  if (ec) return std::unexpected(syntax_message(ec) + at_offset(text, used));
  if (parser.handler().mark_overflow()) {
    // Too many values to place errors in; still a valid document.
  }
  return parser.handler().take();
}

std::string position_suffix(std::string_view text, std::uint32_t mark) {
  if (mark == no_mark) return {};
  // The document parsed, so a plain walk over its tokens finds the mark.
  std::uint32_t count = 0;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    char c = text[i];
    if (is_ws(c) || c == ',' || c == ':') {
      ++i;
    } else if (c == '{' || c == '[' || c == '}' || c == ']') {
      if (count++ == mark) return at_offset(text, i);
      ++i;
    } else if (c == '"') {
      std::size_t start = i++;
      while (i < n && text[i] != '"') i += (text[i] == '\\') ? 2 : 1;
      ++i;
      std::size_t next = i;
      while (next < n && is_ws(text[next])) ++next;
      if (next < n && text[next] == ':') continue;  // a key, not a value
      if (count++ == mark) return at_offset(text, start);
    } else {
      if (count++ == mark) return at_offset(text, i);
      while (i < n && !is_ws(text[i]) && text[i] != ',' && text[i] != ']' && text[i] != '}') ++i;
    }
  }
  return {};
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

void write_value(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Kind::null: out += "null"; return;
    case Kind::boolean: out += *value.as_bool() ? "true" : "false"; return;
    case Kind::number: out += value.as_number()->text; return;
    case Kind::string: write_string(out, *value.as_string()); return;
    case Kind::array: {
      out += '[';
      bool first = true;
      for (const Value& element : *value.as_array()) {
        if (!first) out += ',';
        first = false;
        write_value(out, element);
      }
      out += ']';
      return;
    }
    case Kind::object: {
      const Object& object = *value.as_object();
      out += '{';
      bool first = true;
      for (auto it = object.begin(); it != object.end(); ++it) {
        // A repeated key of a parsed document: only its last occurrence counts.
        if (std::next(it) != object.end() && std::next(it)->key == it->key) continue;
        if (!first) out += ',';
        first = false;
        write_string(out, it->key);
        out += ':';
        write_value(out, it->value);
      }
      out += '}';
      return;
    }
  }
}

}  // namespace

void write_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char escape = escape_table[byte];
    if (escape == 0) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    out += '\\';
    out += escape;
    if (escape == 'u') {
      out += "00";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

void write_to(std::string& out, const Value& value) { write_value(out, value); }

std::string write(const Value& value) {
  std::string out;
  write_value(out, value);
  return out;
}

// ---- Record decoding --------------------------------------------------------

namespace {

bool is_integer_literal(std::string_view text) {
  return text.find_first_of(".eE") == std::string_view::npos;
}

template <class T>
Decoded<T> read_integer(Value&& value, std::string_view expected) {
  const Number* number = value.as_number();
  if (!number || !is_integer_literal(number->text)) return invalid_type(value, expected);
  std::string_view text = number->text;
  bool negative = !text.empty() && text.front() == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  auto out_of_range = [&] {
    return fail(value, "invalid value: integer `" + number->text + "`, expected " +
                           std::string(expected));
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

Decoded<std::string> Reader<std::string>::read(Value&& value) {
  std::string* text = value.as_string();
  if (!text) return invalid_type(value, "a string");
  return std::move(*text);
}

Decoded<bool> Reader<bool>::read(Value&& value) {
  const bool* b = value.as_bool();
  if (!b) return invalid_type(value, "a boolean");
  return *b;
}

Decoded<std::uint16_t> Reader<std::uint16_t>::read(Value&& value) {
  return read_integer<std::uint16_t>(std::move(value), "u16");
}
Decoded<std::uint32_t> Reader<std::uint32_t>::read(Value&& value) {
  return read_integer<std::uint32_t>(std::move(value), "u32");
}
Decoded<std::uint64_t> Reader<std::uint64_t>::read(Value&& value) {
  return read_integer<std::uint64_t>(std::move(value), "u64");
}
Decoded<std::int64_t> Reader<std::int64_t>::read(Value&& value) {
  return read_integer<std::int64_t>(std::move(value), "i64");
}

Decoded<TextMap> Reader<TextMap>::read(Value&& value) {
  Object* object = value.as_object();
  if (!object) return invalid_type(value, "a map");
  TextMap out;
  for (Member& member : *object) {
    std::string* text = member.value.as_string();
    if (!text) return invalid_type(member.value, "a string");
    // Members are sorted with repeats in document order: the last one wins.
    out.insert_or_assign(std::move(member.key), std::move(*text));
  }
  return out;
}

}  // namespace quorvex_bo::json
