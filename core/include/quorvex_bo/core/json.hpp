#pragma once
// The JSON value of the whole system, its reader and writer, and the one generic
// mechanism that decodes records.
//
// - Objects keep their members sorted by key in byte order, so every object the
//   system writes comes out sorted without care at the call site. A value keeps
//   one member per name: where a parsed text repeats a name, the last one counts.
// - Numbers keep the exact literal text they had in the input (`100.50`, `1E2`,
//   a 40-digit integer) and are written back unchanged.
// - Records are decoded from a document or from a value, and each caller says
//   which: a document (a payload, `decode(text)`) may repeat a member, and a
//   listed member given twice is an error; a value (a gateway answer) holds one
//   member per name, the last given, whether it was parsed first
//   (`decode_value`, `read`) or is decoded straight from its text
//   (`decode(text, Repeats::last_counts)`). Decoding from text goes through a
//   `Cursor` and builds no tree.
// - Parsed values and decoding errors carry byte offsets into the text; line and
//   column are worked out only when an error is reported.

#include <algorithm>
#include <array>
#include <charconv>
#include <compare>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo::json {

// A JSON number held as its literal text.
struct Number {
  std::string text;
  bool operator==(const Number&) const = default;
};

class Value;
struct Member;
// Text to text, ordered by key; repeated keys in the document: the last wins.
// It holds a few entries (the headers of a request): a sorted list, not a tree.
class TextMap {
 public:
  using value_type = std::pair<std::string, std::string>;

  TextMap() = default;
  TextMap(std::initializer_list<value_type> entries);

  // Sets `key` to `text`, replacing an earlier entry of that name.
  void insert_or_assign(std::string key, std::string text);
  // For the reader: entries in document order, made sorted; of a repeated key
  // only the last occurrence stays.
  static TextMap from_unsorted(std::vector<value_type> entries);
  // The text of `key`, made empty first when there is none.
  std::string& operator[](std::string_view key);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::vector<value_type>::const_iterator begin() const { return entries_.begin(); }
  std::vector<value_type>::const_iterator end() const { return entries_.end(); }
  bool operator==(const TextMap&) const = default;

 private:
  std::vector<value_type> entries_;
};
// An object of texts kept as the text it was read from (the headers that came
// with a notification): checked as a map of texts when read, searched when used
// without building one. It views that text, which must outlive it.
struct TextMembers {
  std::string_view text = "{}";

  // The value of the first key in byte order that equals `name` in ASCII letter
  // case (of a key given twice, the later value); nullopt when there is none.
  std::optional<std::string> find_folded(std::string_view name) const;
};
using Array = std::vector<Value>;

// "No position": a value made in code rather than read from text.
inline constexpr std::size_t no_mark = SIZE_MAX;

class Object {
 public:
  Object() = default;

  // The member named `key`, or nullptr.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);

  // Sets `key` to `value`, replacing an earlier member of that name; keeps the order.
  void insert_or_assign(std::string key, Value value);

  // Defined after `Member`: a vector of an incomplete type may be declared but
  // not used.
  std::size_t size() const;
  bool empty() const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;
  std::vector<Member>::iterator begin();
  std::vector<Member>::iterator end();

  // For the parser: members in document order, made sorted; of a repeated key
  // only the last occurrence stays.
  static Object from_unsorted(std::vector<Member> members);

 private:
  std::vector<Member> members_;
};

enum class Kind : std::uint8_t { null, boolean, number, string, array, object };

class Value {
 public:
  using Storage = std::variant<std::nullptr_t, bool, Number, std::string, Array, Object>;

  // Defined after `Member`, which `Object` needs complete.
  Value() = default;
  Value(std::nullptr_t);
  Value(bool b);
  Value(Number n);
  Value(std::string s);
  Value(std::string_view s);
  Value(const char* s);
  Value(Array a);
  Value(Object o);

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::null; }

  const bool* as_bool() const { return std::get_if<bool>(&data_); }
  const Number* as_number() const { return std::get_if<Number>(&data_); }
  const std::string* as_string() const { return std::get_if<std::string>(&data_); }
  std::string* as_string() { return std::get_if<std::string>(&data_); }
  const Array* as_array() const { return std::get_if<Array>(&data_); }
  Array* as_array() { return std::get_if<Array>(&data_); }
  const Object* as_object() const { return std::get_if<Object>(&data_); }
  Object* as_object() { return std::get_if<Object>(&data_); }

  // Member lookup on an object value; nullptr for other kinds or a missing key.
  const Value* find(std::string_view key) const {
    const Object* o = as_object();
    return o ? o->find(key) : nullptr;
  }

  const Storage& storage() const { return data_; }
  Storage& storage() { return data_; }

  // Byte offsets in the parsed text of the value's start and (for arrays and
  // objects) of its closing bracket; no_mark for values made in code.
  std::size_t mark = no_mark;
  std::size_t end_mark = no_mark;

 private:
  Storage data_;
};

struct Member {
  std::string key;
  Value value;
};

inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline std::vector<Member>::const_iterator Object::begin() const { return members_.begin(); }
inline std::vector<Member>::const_iterator Object::end() const { return members_.end(); }
inline std::vector<Member>::iterator Object::begin() { return members_.begin(); }
inline std::vector<Member>::iterator Object::end() { return members_.end(); }

inline Value::Value(std::nullptr_t) {}
inline Value::Value(bool b) : data_(b) {}
inline Value::Value(Number n) : data_(std::move(n)) {}
inline Value::Value(std::string s) : data_(std::move(s)) {}
inline Value::Value(std::string_view s) : data_(std::string(s)) {}
inline Value::Value(const char* s) : data_(std::string(s)) {}
inline Value::Value(Array a) : data_(std::move(a)) {}
inline Value::Value(Object o) : data_(std::move(o)) {}

// Structural equality (marks are ignored).
bool operator==(const Value& a, const Value& b);
bool operator==(const Object& a, const Object& b);

// ---- Parsing and writing ----------------------------------------------------

// Nesting limit of arrays and objects: 127 levels pass, the 128th fails.
inline constexpr std::size_t max_depth = 127;

// Parses one JSON value surrounded only by JSON white space. The error text is
// the description followed by " at line L column C".
std::expected<Value, std::string> parse(std::string_view text);
// A flat object read straight from its text, without a tree: one object of at
// most 16 members whose values are all strings, numbers, booleans or null and
// whose keys have no escapes (the usual notification). It views the text.
class FlatObject {
 public:
  static constexpr std::size_t max_members = 16;

  // Whether `text` is such an object; false for any other text, valid or not.
  bool read(std::string_view text);
  // `write(*parse(text))`.
  std::string write() const;
  // The value of `key` (the last given) as a string's contents or a number's
  // literal text; nullopt for a boolean, null or an absent key. It views the
  // text, but for a string with escapes, which is unescaped into `storage`.
  std::optional<std::string_view> text_of(std::string_view key, std::string& storage) const;

 private:
  struct Member {
    std::string_view key;    // as in the text, which had no escape in it
    std::string_view token;  // the value's JSON text
    bool plain = true;       // no escape in it
  };
  std::array<Member, max_members> members_;  // in key order, one per key
  std::size_t size_ = 0;
  std::size_t text_size_ = 0;
};
// A value already written as compact text with its keys in order, by `write` or
// `FlatObject::write`; written as it is.
struct CompactText {
  std::string text;
};
inline void write_json(std::string& out, const CompactText& value) { out += value.text; }
inline std::size_t json_room(const CompactText& value) { return value.text.size(); }
inline char* write_json(char* at, const CompactText& value) {
  return std::copy(value.text.begin(), value.text.end(), at);
}

// Compact text: members in key order, only `"`, `\` and U+0000–U+001F escaped.
std::string write(const Value& value);
// A JSON string literal for `text` (quotes included), with the same escapes.
void write_string(std::string& out, std::string_view text);
// The JSON string literal of the parts one after the other.
void write_string(std::string& out, std::initializer_list<std::string_view> parts);

// " at line L column C" for a byte offset into `text`; empty for no_mark.
std::string position_suffix(std::string_view text, std::size_t offset);

// Whether `text` is a valid JSON number literal.
bool is_number_literal(std::string_view text);

// The description and position of the first syntax error in `text` (a text the
// cursor or `parse` rejected); `fallback` places it should the wording fail.
std::string syntax_error(std::string_view text, std::size_t fallback);

// What a repeated member name means to the records read through a cursor.
//   rejected     the text is a document (a payload): a listed member given twice
//                is an error
//   last_counts  the text is that of one JSON value (a gateway answer), which
//                holds one member per name: the last one given
enum class Repeats : std::uint8_t { rejected, last_counts };

// Reads JSON text one token at a time, for decoding records straight from the
// text without building a tree. Syntax is checked on the way; after the first
// syntax error every call yields nothing and `failed()` is true. Offsets are
// bytes from the start of the text.
class Cursor {
 public:
  enum class Next : std::uint8_t { object, array, string, number, boolean, null, invalid };

  explicit Cursor(std::string_view text, Repeats repeats = Repeats::rejected)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), repeats_(repeats) {
    skip_space();
  }
  Repeats repeats() const { return repeats_; }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // The kind of the next value; `at()` is its offset. The cursor always stands
  // past white space (each token read skips what follows it), and a failed
  // cursor stands at the end of the text, so it sees nothing more.
  [[gnu::always_inline]] Next peek() const {
    if (p_ == end_) return Next::invalid;
    return next_kinds[static_cast<unsigned char>(*p_)];
  }
  std::size_t at() const { return static_cast<std::size_t>(p_ - begin_); }
  bool failed() const { return failed_; }
  std::size_t failed_at() const { return failed_at_; }

  // The members of the object at the cursor: start with n = 0. Each true answer
  // leaves the cursor on a member's value with its key in `key` (valid until the
  // next key is read). False once the object closed; `closed_at()` is its '}'.
  bool next_member(std::size_t& n, std::string_view& key);
  // The same for a reader that expects the key `likely` (ASCII without quotation
  // marks or backslashes, as record field names are): when the text holds just
  // that key it is taken without a scan, and `key` is `likely` itself.
  bool next_member(std::size_t& n, std::string_view& key, std::string_view likely) {
    // Inline, the usual cases after the first member: the closing brace, or a
    // comma, the expected key and the colon in compact text; anything else goes
    // the long way.
    if (n != 0 && p_ != end_ && *p_ == '}') {  // the object closes
      closed_at_ = at();
      advance_to(p_ + 1);
      --depth_;
      return false;
    }
    if (n != 0 && p_ != end_ && *p_ == ',' && (watch_.empty() || depth_ != 1)) {
      const char* const quote = p_ + 1;
      const std::size_t size = likely.size();
      if (static_cast<std::size_t>(end_ - quote) > size + 2 && *quote == '"' &&
          quote[size + 1] == '"' && quote[size + 2] == ':' && same_bytes(quote + 1, likely)) {
        key = likely;
        advance_to(quote + size + 3);
        ++n;
        return true;
      }
    }
    return next_member_expecting(n, key, likely);
  }
  // The elements of the array at the cursor, the same way.
  bool next_element(std::size_t& n);
  std::size_t closed_at() const { return closed_at_; }
  // The text from offset `from` up to offset `to`.
  std::string_view text_between(std::size_t from, std::size_t to) const {
    return {begin_ + from, to - from};
  }

  // Names looked out for among the members of the outermost object, for a
  // caller that decodes a record but must also know of members it does not
  // list: bit i of `watched()` is set once `names[i]` was read there.
  void watch(std::span<const std::string_view> names) { watch_ = names; }
  std::uint32_t watched() const { return watched_; }

  // The scalar at the cursor, whose kind the caller has peeked.
  std::string string();            // unescaped, in one allocation
  void string_into(std::string& out);  // unescaped into `out`, whose memory it uses
  void string_to(std::string& out);    // unescaped into `out`, made its exact copy
  std::string_view string_view();  // unescaped; valid until the next string or key
  std::string_view number();       // the literal text
  bool boolean();
  void null();

  void skip();    // one whole value
  Value value();  // one whole value as a tree (marks are offsets in the text)
  void value_into(Value& out);  // the same into `out`, a null value

  // Whether only white space follows (checked once the value was read).
  bool at_end();

 private:
  struct Span {
    std::size_t begin = 0;  // first byte after the opening quote
    std::size_t end = 0;    // the closing quote
    bool escaped = false;
  };
  static constexpr auto next_kinds = [] {
    std::array<Next, 256> kinds{};
    kinds.fill(Next::invalid);
    kinds['{'] = Next::object;
    kinds['['] = Next::array;
    kinds['"'] = Next::string;
    kinds['t'] = kinds['f'] = Next::boolean;
    kinds['n'] = Next::null;
    kinds['-'] = Next::number;
    for (char c = '0'; c <= '9'; ++c) kinds[static_cast<unsigned char>(c)] = Next::number;
    return kinds;
  }();
  // JSON white space is four bytes, all at or below the space; compact text has
  // none, and the first test settles it.
  [[gnu::always_inline]] void skip_space() {
    while (p_ != end_ && static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
      ++p_;
  }
  [[gnu::always_inline]] void advance_to(const char* p) {
    p_ = p;
    skip_space();
  }
  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
  std::size_t offset(const char* p) const { return static_cast<std::size_t>(p - begin_); }
  std::string_view span_text(Span span) const {
    return {begin_ + span.begin, span.end - span.begin};
  }
  void fail();
  bool open(char bracket);
  bool next_member_expecting(std::size_t& n, std::string_view& key, std::string_view likely);
  bool read_key(std::string_view& key);
  // Whether the bytes at `p` are those of `word` (`p` has as many).
  [[gnu::always_inline]] static bool same_bytes(const char* p, std::string_view word) {
    return text::same(std::string_view(p, word.size()), word);
  }
  bool after_key(std::string_view key);
  bool close_or_comma(std::size_t& n, char bracket);
  Span scan_string();
  std::string_view unescape_to_scratch(Span span);
  bool scan_unescape(std::string& out);
  bool plain_string(std::string& out);
  bool literal(std::string_view word);

  const char* begin_;
  const char* p_;
  const char* end_;
  Repeats repeats_;
  std::size_t depth_ = 0;
  std::size_t closed_at_ = 0;
  std::size_t failed_at_ = 0;
  bool failed_ = false;
  std::span<const std::string_view> watch_;
  std::uint32_t watched_ = 0;
  std::string scratch_;  // escaped keys and string views
};

// ---- Writing records straight to text ---------------------------------------
// A record is written as one object whose members are listed in ascending byte
// order of their keys; `write_object` checks that order at compile time, so no
// tree is built and nothing is sorted at run time.
//
// A value whose text has a known bound is written in two steps: `json_room(value)`
// is the most bytes its text takes, and `write_json(at, value)` writes the text
// at a raw pointer and returns its end. It may store up to `write_slack` bytes
// beyond that text (whole blocks copied at once), so the buffer needs that much
// room after the last value. A record made only of such values is written after
// one reservation; any other value is appended to the string by itself.

inline constexpr std::size_t write_slack = 16;

// Strings, with only `"`, `\` and U+0000–U+001F escaped. A short text takes its
// worst case (every byte a six-byte escape), a long one its escapes counted.
inline constexpr std::size_t counted_room_above = 4096;
std::size_t counted_string_room(std::string_view text);
inline std::size_t json_room(std::string_view text) {
  return text.size() <= counted_room_above ? 2 + 6 * text.size() : counted_string_room(text);
}
inline std::size_t json_room(const std::string& text) { return json_room(std::string_view(text)); }
inline std::size_t json_room(const char* text) { return json_room(std::string_view(text)); }
char* write_json(char* at, std::string_view text);
inline char* write_json(char* at, const std::string& text) {
  return write_json(at, std::string_view(text));
}
inline char* write_json(char* at, const char* text) { return write_json(at, std::string_view(text)); }

// Literals. `bool` exactly: a pointer must not turn into `true`.
template <std::same_as<bool> B>
constexpr std::size_t json_room(B) {
  return 5;
}
template <std::same_as<bool> B>
char* write_json(char* at, B flag) {
  std::memcpy(at, flag ? "true" : "false", 5);
  return at + (flag ? 4 : 5);
}
constexpr std::size_t json_room(std::nullptr_t) { return 4; }
inline char* write_json(char* at, std::nullptr_t) {
  std::memcpy(at, "null", 4);
  return at + 4;
}

template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
constexpr std::size_t json_room(T) {
  return std::numeric_limits<T>::digits10 + 2;  // every digit and a sign
}
template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
char* write_json(char* at, T number) {
  return std::to_chars(at, at + json_room(number), number).ptr;
}

// Free values and text maps.
std::size_t json_room(const Value& value);
char* write_json(char* at, const Value& value);
std::size_t json_room(const TextMap& map);
char* write_json(char* at, const TextMap& map);

// Optionals (null when empty) and lists of bounded values.
template <class T>
  requires requires(const T& value, char* at) {
    json_room(value);
    write_json(at, value);
  }
std::size_t json_room(const std::optional<T>& value) {
  return value ? json_room(*value) : 4;
}
template <class T>
  requires requires(const T& value, char* at) {
    json_room(value);
    write_json(at, value);
  }
char* write_json(char* at, const std::optional<T>& value) {
  return value ? write_json(at, *value) : write_json(at, nullptr);
}
template <class T>
  requires requires(const T& value, char* at) {
    json_room(value);
    write_json(at, value);
  }
std::size_t json_room(const std::vector<T>& items) {
  std::size_t room = 2;
  for (const T& item : items) room += json_room(item) + 1;
  return room;
}
template <class T>
  requires requires(const T& value, char* at) {
    json_room(value);
    write_json(at, value);
  }
char* write_json(char* at, const std::vector<T>& items) {
  *at++ = '[';
  for (const T& item : items) {
    at = write_json(at, item);
    *at++ = ',';
  }
  if (!items.empty()) --at;  // the last comma
  *at++ = ']';
  return at;
}

template <class T>
concept BoundedJson = requires(const T& value, char* at) {
  { json_room(value) } -> std::same_as<std::size_t>;
  { write_json(at, value) } -> std::same_as<char*>;
};

// Appends the text of a bounded value after one reservation.
template <BoundedJson T>
void append_bounded(std::string& out, const T& value) {
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + json_room(value) + write_slack, [&](char* buffer, std::size_t) {
    return static_cast<std::size_t>(write_json(buffer + start, value) - buffer);
  });
}

void write_json(std::string& out, std::string_view text);
void write_json(std::string& out, const std::string& text);
void write_json(std::string& out, const char* text);
void write_json(std::string& out, bool flag);
void write_json(std::string& out, std::nullptr_t);
void write_json(std::string& out, const Value& value);
void write_json(std::string& out, const TextMap& map);
// (The string is a deduced parameter so that a call at a raw pointer fails to
// deduce it, rather than ask whether T is bounded while finding that out.)
template <class C, BoundedJson T>
void write_json(std::basic_string<C>& out, const T& value) {
  append_bounded(out, value);
}
// The same for a member whose text has no bound.
template <class C, class T>
  requires(!BoundedJson<std::optional<T>>)
void write_json(std::basic_string<C>& out, const std::optional<T>& value) {
  if (value)
    write_json(out, *value);
  else
    out += "null";
}
template <class C, class T>
  requires(!BoundedJson<std::vector<T>>)
void write_json(std::basic_string<C>& out, const std::vector<T>& items) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    write_json(out, items[i]);
  }
  out += ']';
}

// The JSON text of anything `write_json` writes.
template <class T>
std::string to_text(const T& value) {
  std::string out;
  write_json(out, value);
  return out;
}

template <std::size_t N>
struct Key {
  char text[N]{};
  // `,"key":` — what precedes a member's value; the first member's comma becomes
  // the object's opening brace.
  char lead[N + 3]{};
  consteval Key(const char (&s)[N]) {
    lead[0] = ',';
    lead[1] = '"';
    for (std::size_t i = 0; i < N; ++i) {
      // Written without escaping: no quotation mark, backslash or control character.
      if (i + 1 < N && (s[i] == '"' || s[i] == '\\' || static_cast<unsigned char>(s[i]) < 0x20))
        throw "a key that would need escaping";
      text[i] = s[i];
      if (i + 1 < N) lead[i + 2] = s[i];
    }
    lead[N + 1] = '"';
    lead[N + 2] = ':';
  }
  constexpr std::string_view view() const { return {text, N - 1}; }
  constexpr std::string_view lead_view() const { return {lead, N + 3}; }
};

// One member: `put<"key">(value)`, always written; `put_if<"key">(present, value)`,
// left out unless `present`.
template <Key K, class V>
struct Put {
  using value_type = V;
  static constexpr std::string_view key = K.view();
  static constexpr std::string_view lead = K.lead_view();
  const V& value;
  bool present = true;
};
template <Key K, class V>
constexpr Put<K, V> put(const V& value) {
  return {value};
}
template <Key K, class V>
constexpr Put<K, V> put_if(bool present, const V& value) {
  return {value, present};
}

template <class... M>
constexpr bool keys_ascending() {
  constexpr std::array<std::string_view, sizeof...(M)> keys{M::key...};
  for (std::size_t i = 1; i < keys.size(); ++i)
    if (!(keys[i - 1] < keys[i])) return false;
  return true;
}

// An object of members as a value, for an object inside a record:
// `put<"ack">(object(put<"code">(c), put<"text">(t)))`. It refers to the values
// of its members: it lives no longer than the expression that writes it.
template <class... M>
struct ObjectOf {
  static_assert(keys_ascending<M...>(),
                "members must be listed once each, in ascending byte order of their keys");
  std::tuple<M...> members;
};
template <class... M>
constexpr ObjectOf<M...> object(const M&... members) {
  return {{members...}};
}

template <class... M>
  requires(BoundedJson<typename M::value_type> && ...)
std::size_t json_room(const ObjectOf<M...>& object) {
  return std::apply(
      [](const M&... m) { return 2 + ((m.present ? m.lead.size() + json_room(m.value) : 0) + ... + 0); },
      object.members);
}
template <class... M>
  requires(BoundedJson<typename M::value_type> && ...)
char* write_json(char* at, const ObjectOf<M...>& object) {
  char* const start = at;
  std::apply(
      [&](const M&... m) {
        auto member = [&](const auto& one) {
          if (!one.present) return;
          std::memcpy(at, one.lead.data(), one.lead.size());  // a size known when compiled
          at = write_json(at + one.lead.size(), one.value);
        };
        (member(m), ...);
      },
      object.members);
  // The first member's comma, if any, opens the object.
  if (at == start) ++at;
  *start = '{';
  *at++ = '}';
  return at;
}

// A long text that most likely needs no escapes (a Base64 image): copied in one
// pass on that guess, where a bounded text would be measured first. Its record
// is appended member by member.
struct MostlyPlain {
  std::string_view text;
};
void write_json(std::string& out, MostlyPlain text);

template <class... M>
void write_object(std::string& out, const M&... members) {
  if constexpr ((BoundedJson<typename M::value_type> && ...)) {
    append_bounded(out, object(members...));
  } else {
    static_assert(keys_ascending<M...>(),
                  "members must be listed once each, in ascending byte order of their keys");
    out += '{';
    bool first = true;
    auto member = [&](const auto& m) {
      if (!m.present) return;
      out += first ? m.lead.substr(1) : m.lead;
      first = false;
      write_json(out, m.value);
    };
    (member(members), ...);
    out += '}';
  }
}

// ---- Record decoding --------------------------------------------------------

struct DecodeError {
  std::string message;
  std::size_t mark = no_mark;
};
template <class T>
using Decoded = std::expected<T, DecodeError>;

inline std::unexpected<DecodeError> fail(const Value& at, std::string message) {
  return std::unexpected(DecodeError{std::move(message), at.mark});
}

// How a value looks in a type-mismatch message: null, boolean `true`,
// integer `5`, floating point `1.5`, string "x", sequence, map.
std::string describe_found(const Value& value);
// "invalid type: <found>, expected <expected>" at the value.
std::unexpected<DecodeError> invalid_type(const Value& value, std::string_view expected);

// Decoding is found through `Reader<T>`, which reads a T from a parsed value
// (`read(Value&&)`) or from the next value of a document (`read(Cursor&)`, which
// consumes exactly one value, also when it fails). The project provides readers
// for std::string, bool, the integer types, Value, std::optional<T>,
// std::vector<T>, TextMap, described enumerations and described records.
template <class T, class = void>
struct Reader;

template <class T>
Decoded<T> read(Value&& value) {
  return Reader<T>::read(std::move(value));
}

// Reads the next value of the document as a tree, then as T: for the readers
// that need the value whole (and for messages that show it).
template <class T>
Decoded<T> read_whole(Cursor& cursor) {
  Value value = cursor.value();
  return Reader<T>::read(std::move(value));
}

// -- Enumerations: `describe(std::type_identity<E>)` found by argument-dependent
// lookup returns `enumeration<E>("Name", {"a", "b"})`; the enumerators are 0..N-1.
template <class E, std::size_t N>
struct EnumDescription {
  std::string_view name;
  std::array<std::string_view, N> texts;
};
template <class E, class... S>
constexpr auto enumeration(std::string_view name, S... texts) {
  return EnumDescription<E, sizeof...(S)>{name, {std::string_view(texts)...}};
}

// -- Records: `describe(std::type_identity<R>)` returns
// `record<R>("Name", required("a", &R::a), optional("b", &R::b), ...)`, fields in
// declaration order. Records are default-constructible aggregates.
enum class Presence : std::uint8_t { required, optional, defaulted };

// A field's own reader: of a parsed value and, where it has one, of the next
// value of a document straight into the member (without it the value is read
// whole first).
template <class M>
struct CustomReader {
  Decoded<M> (*from_value)(Value&&);
  std::optional<DecodeError> (*into)(Cursor&, M&) = nullptr;
};

// `Custom`: the field names its own reader; otherwise Reader<M> reads it.
template <class R, class M, bool Custom = false>
struct Field {
  using Member = M;
  std::string_view name;
  M R::*member;
  Presence presence;
  CustomReader<M> reader;       // the value of a present member (null included)
  M (*fallback)();              // the value of a defaulted member when absent
  bool null_is_absent = false;  // a defaulted member given as null takes the default
};

template <class R, class... F>
struct RecordDescription {
  std::string_view name;
  std::tuple<F...> fields;
};
template <class R, class... F>
constexpr auto record(std::string_view name, F... fields) {
  return RecordDescription<R, F...>{name, std::tuple<F...>{fields...}};
}

// Must be present (null goes to the reader, which usually refuses it).
template <class R, class M>
constexpr Field<R, M> required(std::string_view name, M R::*member) {
  return {name, member, Presence::required, {}, nullptr, false};
}
template <class R, class M>
constexpr Field<R, M, true> required(std::string_view name, M R::*member,
                                     CustomReader<M> reader) {
  return {name, member, Presence::required, reader, nullptr, false};
}
// May be absent: the member keeps its value-initialised state (nullopt for an
// std::optional). A present member, null included, goes to the reader; the
// default reader of std::optional turns null into nullopt.
template <class R, class M>
constexpr Field<R, M> optional(std::string_view name, M R::*member) {
  return {name, member, Presence::optional, {}, nullptr, false};
}
template <class R, class M>
constexpr Field<R, M, true> optional(std::string_view name, M R::*member,
                                     CustomReader<M> reader) {
  return {name, member, Presence::optional, reader, nullptr, false};
}
// Absent (or null, when `null_is_absent`) takes `fallback()`.
template <class R, class M>
constexpr Field<R, M> defaulted(std::string_view name, M R::*member, M (*fallback)(),
                                bool null_is_absent = true) {
  return {name, member, Presence::defaulted, {}, fallback, null_is_absent};
}

template <class T>
concept DescribedRecord = requires { describe(std::type_identity<T>{}).fields; };
template <class T>
concept DescribedEnum = std::is_enum_v<T> && requires { describe(std::type_identity<T>{}).texts; };

// The text of an enumerator, from its description.
template <DescribedEnum E>
constexpr std::string_view enum_text(E e) {
  return describe(std::type_identity<E>{}).texts[static_cast<std::size_t>(e)];
}

// "unknown variant `x`, expected `A` or `B`" / "expected one of `a`, `b`, `c`".
std::string unknown_variant(std::string_view found, std::span<const std::string_view> expected);
// "invalid length N, expected struct X with M elements" ("element" for one).
std::string invalid_length(std::size_t found, std::string_view record, std::size_t expected);
// "missing field `x`", "duplicate field `x`"
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);

namespace detail {

template <class R, class M, bool C>
Decoded<M> read_field(const Field<R, M, C>& field, Value&& value) {
  if constexpr (C) return field.reader.from_value(std::move(value));
  else return Reader<M>::read(std::move(value));
}

template <class R, class M, bool C>
Decoded<M> read_field(const Field<R, M, C>& field, Cursor& cursor) {
  if constexpr (C) {
    if (field.reader.into) {
      M out{};
      if (std::optional<DecodeError> error = field.reader.into(cursor, out))
        return std::unexpected(std::move(*error));
      return out;
    }
    Value value = cursor.value();
    return field.reader.from_value(std::move(value));
  } else {
    return Reader<M>::read(cursor);
  }
}

template <class R, class M, bool C>
bool takes_default(const Field<R, M, C>& field, bool is_null) {
  return field.presence == Presence::defaulted && field.null_is_absent && is_null;
}

// An absent member: nothing for a required one (the caller reports it).
template <class R, class M, bool C>
void absent(R& out, const Field<R, M, C>& field) {
  if (field.presence == Presence::optional) out.*field.member = M{};
  if (field.presence == Presence::defaulted) out.*field.member = field.fallback();
}

template <class R, class M, bool C, class Source>
std::optional<DecodeError> read_into(R& out, const Field<R, M, C>& field, Source&& source) {
  Decoded<M> value = read_field(field, std::forward<Source>(source));
  if (!value) return std::move(value.error());
  out.*field.member = std::move(*value);
  return std::nullopt;
}

// What a document said about the listed members while their object was read.
// Errors are rare, so their slots are made only once one occurs.
template <std::size_t N>
struct Seen {
  static_assert(N <= 64, "a record of more than 64 fields");
  std::array<std::uint8_t, N> count{};  // occurrences: 0, 1, or 2 for "more than once"
  std::uint64_t null = 0;               // bit i: the occurrence that counts was null
  std::uint64_t repeated = 0;           // bit i: a rejected repeat, at repeat_at[i]
  std::array<std::size_t, N> repeat_at;  // the second occurrence's value, where repeated
  std::uint64_t failed = 0;             // bit i: errors[i] holds the reader's error
  std::optional<std::array<std::optional<DecodeError>, N>> errors;

  static constexpr std::uint64_t bit(std::size_t i) { return std::uint64_t{1} << i; }
  void set_error(std::size_t i, DecodeError&& error) {
    if (!errors) errors.emplace();
    (*errors)[i] = std::move(error);
    failed |= bit(i);
  }
};

// Errors of an object count in declaration order, whatever the order of the
// members in the text: a rejected repeat, then the reader's error; a missing
// member only when nothing else failed.
template <class R, class M, bool C, std::size_t N>
std::optional<DecodeError> settle(R& out, const Field<R, M, C>& field, Seen<N>& seen,
                                  std::size_t i, std::optional<DecodeError>& missing,
                                  std::size_t object_end) {
  if (seen.repeated & Seen<N>::bit(i)) return DecodeError{duplicate_field(field.name), seen.repeat_at[i]};
  if (seen.count[i] == 0 || takes_default(field, (seen.null & Seen<N>::bit(i)) != 0)) {
    if (field.presence == Presence::required && !missing)
      missing = DecodeError{missing_field(field.name), object_end};
    absent(out, field);
    return std::nullopt;
  }
  if (seen.failed & Seen<N>::bit(i)) return std::move((*seen.errors)[i]);
  return std::nullopt;
}

// The index of the field named `key` among `names`, or names.size(); `hint`,
// the field after the last one found, is tried first, since members mostly
// come in the order the record declares them (and the cursor then hands back
// that very name).
template <std::size_t N>
std::size_t field_index(const std::array<std::string_view, N>& names, std::string_view key,
                        std::size_t hint) {
  if (hint < N && (key.data() == names[hint].data() || text::same(names[hint], key))) return hint;
  for (std::size_t i = 0; i < N; ++i)
    if (text::same(names[i], key)) return i;
  return N;
}

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

// Reads the member's value into `target` (a value-initialised member on its
// first occurrence, an earlier occurrence's value on a later one): records, and
// optional records, are read in place rather than built and moved.
template <class R, class M, bool C>
std::optional<DecodeError> read_member(const Field<R, M, C>& field, Cursor& cursor, M& target,
                                       bool first) {
  if constexpr (C) {
    if (field.reader.into) return field.reader.into(cursor, target);
  } else if constexpr (DescribedRecord<M>) {
    if (!first) target = M{};
    return Reader<M>::read_to(cursor, target);
  } else if constexpr (std::is_same_v<M, std::string>) {
    // Texts are copied into the member itself, not moved through results.
    if (cursor.peek() == Cursor::Next::string) {
      cursor.string_to(target);
      return std::nullopt;
    }
  } else if constexpr (std::is_same_v<M, std::optional<std::string>>) {
    const Cursor::Next next = cursor.peek();
    if (next == Cursor::Next::string) {
      if (!target) target.emplace();
      cursor.string_to(*target);
      return std::nullopt;
    }
    if (next == Cursor::Next::null) {
      cursor.null();
      target.reset();
      return std::nullopt;
    }
  } else if constexpr (is_optional<M>::value) {
    if constexpr (DescribedRecord<typename M::value_type>) {
      if (cursor.peek() == Cursor::Next::null) {
        cursor.null();
        target.reset();
        return std::nullopt;
      }
      target.emplace();
      return Reader<typename M::value_type>::read_to(cursor, *target);
    }
  }
  Decoded<M> value = read_field(field, cursor);
  if (!value) return std::move(value.error());
  target = std::move(*value);
  return std::nullopt;
}

template <class R, class Fields, std::size_t... I>
std::optional<DecodeError> read_object(Cursor& cursor, R& out, const Fields& fields,
                                       const std::array<std::string_view, sizeof...(I)>& names,
                                       std::index_sequence<I...>) {
  constexpr std::size_t N = sizeof...(I);
  Seen<N> seen;
  std::string_view key;
  std::size_t hint = 0;
  for (std::size_t n = 0; cursor.next_member(n, key, hint < N ? names[hint] : std::string_view());) {
    const std::size_t index = field_index(names, key, hint);
    if (index == N) {
      cursor.skip();  // not listed
      continue;
    }
    hint = index + 1;
    std::uint8_t& count = seen.count[index];
    if (count > 0 && cursor.repeats() == Repeats::rejected) {
      if (count == 1) {
        seen.repeated |= Seen<N>::bit(index);
        seen.repeat_at[index] = cursor.at();
        count = 2;
      }
      cursor.skip();
      continue;
    }
    const bool first = count == 0;
    if (first) count = 1;
    // The first occurrence, or a later one that replaces it.
    seen.null &= ~Seen<N>::bit(index);
    seen.failed &= ~Seen<N>::bit(index);
    auto member = [&](const auto& field) {
      if (field.presence == Presence::defaulted && field.null_is_absent &&
          cursor.peek() == Cursor::Next::null) {
        cursor.null();
        seen.null |= Seen<N>::bit(index);
      } else if (std::optional<DecodeError> error =
                     read_member(field, cursor, out.*field.member, first)) {
        seen.set_error(index, std::move(*error));
      }
    };
    static_cast<void>(((index == I && (member(std::get<I>(fields)), true)) || ...));
  }
  std::optional<DecodeError> error, missing;
  auto settled = [&](const auto& field, std::size_t i) {
    std::optional<DecodeError> found = settle(out, field, seen, i, missing, cursor.closed_at());
    if (!found) return false;
    error = std::move(found);
    return true;
  };
  (settled(std::get<I>(fields), I) || ...);
  return error ? std::move(error) : std::move(missing);
}

template <class R, class Fields, std::size_t... I>
Decoded<R> read_object(Object& object, std::size_t object_end, const Fields& fields,
                       std::index_sequence<I...>) {
  R out{};
  std::optional<DecodeError> error, missing;
  auto member = [&](const auto& field) -> std::optional<DecodeError> {
    Value* found = object.find(field.name);
    if (!found || takes_default(field, found->is_null())) {
      if (field.presence == Presence::required && !missing)
        missing = DecodeError{missing_field(field.name), object_end};
      absent(out, field);
      return std::nullopt;
    }
    return read_into(out, field, std::move(*found));
  };
  ((error || (error = member(std::get<I>(fields)), false)), ...);
  if (error || (error = std::move(missing))) return std::unexpected(std::move(*error));
  return out;
}

// The array form: the fields in declaration order, exactly as many as declared.
template <class R, class Fields, std::size_t... I>
Decoded<R> read_array(Cursor& cursor, std::string_view name, const Fields& fields,
                      std::index_sequence<I...>) {
  R out{};
  const std::size_t start = cursor.at();
  std::optional<DecodeError> error;
  std::size_t n = 0;
  while (cursor.next_element(n)) {
    auto element = [&](const auto& field) {
      if (takes_default(field, cursor.peek() == Cursor::Next::null)) {
        cursor.null();
        out.*field.member = field.fallback();
      } else {
        error = read_into(out, field, cursor);
      }
    };
    const std::size_t index = n - 1;
    if (error || index >= sizeof...(I) || !((index == I && (element(std::get<I>(fields)), true)) || ...))
      cursor.skip();
  }
  if (n != sizeof...(I))
    return std::unexpected(DecodeError{invalid_length(n, name, sizeof...(I)), start});
  if (error) return std::unexpected(std::move(*error));
  return out;
}

template <class R, class Fields, std::size_t... I>
Decoded<R> read_array(Array& array, const Value& at, std::string_view name, const Fields& fields,
                      std::index_sequence<I...>) {
  if (array.size() != sizeof...(I)) return fail(at, invalid_length(array.size(), name, sizeof...(I)));
  R out{};
  std::optional<DecodeError> error;
  auto element = [&](const auto& field, Value& value) -> std::optional<DecodeError> {
    if (takes_default(field, value.is_null())) {
      out.*field.member = field.fallback();
      return std::nullopt;
    }
    return read_into(out, field, std::move(value));
  };
  ((error || (error = element(std::get<I>(fields), array[I]), false)), ...);
  if (error) return std::unexpected(std::move(*error));
  return out;
}

}  // namespace detail

template <class R>
struct Reader<R, std::enable_if_t<DescribedRecord<R>>> {
  static constexpr auto description = describe(std::type_identity<R>{});
  static constexpr auto indices =
      std::make_index_sequence<std::tuple_size_v<decltype(description.fields)>>{};
  static constexpr auto names = std::apply(
      [](const auto&... field) {
        return std::array<std::string_view, sizeof...(field)>{field.name...};
      },
      description.fields);

  static Decoded<R> read(Value&& value) {
    if (Object* object = value.as_object())
      return detail::read_object<R>(*object, value.end_mark, description.fields, indices);
    if (Array* array = value.as_array())
      return detail::read_array<R>(*array, value, description.name, description.fields, indices);
    return invalid_type(value, "struct " + std::string(description.name));
  }

  static Decoded<R> read(Cursor& cursor) {
    // Read into a record of its own, then moved: a record written through a
    // reference to the value of an std::expected could overwrite, in some
    // standard libraries, the flag kept in the record's tail padding.
    R out{};
    if (std::optional<DecodeError> error = read_to(cursor, out))
      return std::unexpected(std::move(*error));
    return out;
  }

  // The same into `out`, a value-initialised record (left unspecified on error).
  static std::optional<DecodeError> read_to(Cursor& cursor, R& out) {
    switch (cursor.peek()) {
      case Cursor::Next::object:
        return detail::read_object(cursor, out, description.fields, names, indices);
      case Cursor::Next::array: {
        Decoded<R> read = detail::read_array<R>(cursor, description.name, description.fields, indices);
        if (!read) return std::move(read.error());
        out = std::move(*read);
        return std::nullopt;
      }
      default: {
        Value value = cursor.value();
        return invalid_type(value, "struct " + std::string(description.name)).error();
      }
    }
  }
};

template <class E>
struct Reader<E, std::enable_if_t<DescribedEnum<E>>> {
  static constexpr auto description = describe(std::type_identity<E>{});

  static Decoded<E> from_text(std::string_view text, std::size_t at) {
    for (std::size_t i = 0; i < description.texts.size(); ++i)
      if (text == description.texts[i]) return static_cast<E>(i);
    return std::unexpected(DecodeError{unknown_variant(text, description.texts), at});
  }
  static Decoded<E> read(Value&& value) {
    const std::string* text = value.as_string();
    if (!text) return invalid_type(value, "enum " + std::string(description.name));
    return from_text(*text, value.mark);
  }
  static Decoded<E> read(Cursor& cursor) {
    if (cursor.peek() != Cursor::Next::string) return read_whole<E>(cursor);
    const std::size_t at = cursor.at();
    return from_text(cursor.string_view(), at);
  }
};

template <>
struct Reader<std::string> {
  static Decoded<std::string> read(Value&& value);
  static Decoded<std::string> read(Cursor& cursor);
};
// A text read into the thread's spare buffer (see spare.hpp): the body of a
// gateway answer or of a notification, which a stage gives back once done.
Decoded<std::string> read_spare_text(Value&& value);
std::optional<DecodeError> read_spare_text(Cursor& cursor, std::string& out);
inline constexpr CustomReader<std::string> spare_text_reader{&read_spare_text, &read_spare_text};

template <>
struct Reader<bool> {
  static Decoded<bool> read(Value&& value);
  static Decoded<bool> read(Cursor& cursor) { return read_whole<bool>(cursor); }
};

// Integers: a JSON number without fraction or exponent, in the type's range.
template <>
struct Reader<std::uint16_t> {
  static Decoded<std::uint16_t> read(Value&& value);
  static Decoded<std::uint16_t> read(Cursor& cursor);
};
template <>
struct Reader<std::uint32_t> {
  static Decoded<std::uint32_t> read(Value&& value);
  static Decoded<std::uint32_t> read(Cursor& cursor);
};
template <>
struct Reader<std::uint64_t> {
  static Decoded<std::uint64_t> read(Value&& value);
  static Decoded<std::uint64_t> read(Cursor& cursor);
};
template <>
struct Reader<std::int64_t> {
  static Decoded<std::int64_t> read(Value&& value);
  static Decoded<std::int64_t> read(Cursor& cursor);
};
template <>
struct Reader<Value> {
  static Decoded<Value> read(Value&& value) { return std::move(value); }
  static Decoded<Value> read(Cursor& cursor) { return cursor.value(); }
};
template <>
struct Reader<TextMap> {
  static Decoded<TextMap> read(Value&& value);
  static Decoded<TextMap> read(Cursor& cursor);
};

// Read from text only: it views the text.
template <>
struct Reader<TextMembers> {
  static Decoded<TextMembers> read(Cursor& cursor);
};

template <class T>
struct Reader<std::optional<T>> {
  static Decoded<std::optional<T>> read(Value&& value) {
    if (value.is_null()) return std::optional<T>{};
    return wrap(Reader<T>::read(std::move(value)));
  }
  static Decoded<std::optional<T>> read(Cursor& cursor) {
    if (cursor.peek() != Cursor::Next::null) return wrap(Reader<T>::read(cursor));
    cursor.null();
    return std::optional<T>{};
  }

 private:
  static Decoded<std::optional<T>> wrap(Decoded<T>&& inner) {
    if (!inner) return std::unexpected(std::move(inner.error()));
    return std::optional<T>(std::move(*inner));
  }
};

template <class T>
struct Reader<std::vector<T>> {
  static Decoded<std::vector<T>> read(Value&& value) {
    Array* array = value.as_array();
    if (!array) return invalid_type(value, "a sequence");
    std::vector<T> out;
    out.reserve(array->size());
    for (Value& element : *array) {
      Decoded<T> item = Reader<T>::read(std::move(element));
      if (!item) return std::unexpected(std::move(item.error()));
      out.push_back(std::move(*item));
    }
    return out;
  }
  static Decoded<std::vector<T>> read(Cursor& cursor) {
    if (cursor.peek() != Cursor::Next::array) {
      Value value = cursor.value();
      return invalid_type(value, "a sequence");
    }
    std::vector<T> out;
    std::optional<DecodeError> error;
    for (std::size_t n = 0; cursor.next_element(n);) {
      if (error) {
        cursor.skip();
        continue;
      }
      Decoded<T> item = Reader<T>::read(cursor);
      if (item)
        out.push_back(std::move(*item));
      else
        error = std::move(item.error());
    }
    if (error) return std::unexpected(std::move(*error));
    return out;
  }
};

// Decodes a value already parsed from `source`, which holds one member per name
// (a repeated name in the text was settled by the parse: the last one counts).
// `source` only places an error (" at line L column C" is appended).
template <class T>
std::expected<T, std::string> decode_value(Value&& value, std::string_view source) {
  Decoded<T> out = read<T>(std::move(value));
  if (!out) return std::unexpected(out.error().message + position_suffix(source, out.error().mark));
  return std::move(*out);
}

// Decodes `text` as T straight from the text, repeats as `repeats` says: by
// default a document, where a listed member given twice is an error. A syntax
// error anywhere in the text wins over a decoding error.
template <class T>
std::expected<T, std::string> decode(std::string_view text, Repeats repeats = Repeats::rejected) {
  Cursor cursor(text, repeats);
  if constexpr (DescribedRecord<T>) {
    T out{};
    std::optional<DecodeError> error = Reader<T>::read_to(cursor, out);
    if (!cursor.at_end()) return std::unexpected(syntax_error(text, cursor.failed_at()));
    if (error) return std::unexpected(error->message + position_suffix(text, error->mark));
    return out;
  } else {
    Decoded<T> out = Reader<T>::read(cursor);
    if (!cursor.at_end()) return std::unexpected(syntax_error(text, cursor.failed_at()));
    if (!out) return std::unexpected(out.error().message + position_suffix(text, out.error().mark));
    return std::move(*out);
  }
}

}  // namespace quorvex_bo::json
