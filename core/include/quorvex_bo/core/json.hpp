#pragma once
// The JSON value of the whole system, its parser and writer, and the one generic
// mechanism that decodes records from it.
//
// - Objects keep their members sorted by key in byte order, so every object the
//   system writes comes out sorted without care at the call site.
// - Numbers keep the exact literal text they had in the input (`100.50`, `1E2`,
//   a 40-digit integer) and are written back unchanged.
// - A parsed object that repeats a key keeps every occurrence, adjacent and in
//   document order; lookups and the writer see only the last one. Record decoding
//   uses the extra occurrences to report "duplicate field".
// - Every parsed value carries marks (ordinals of its start and end in the
//   document) so that a decoding error can name a line and column afterwards
//   without slowing the parse down.

#include <array>
#include <compare>
#include <concepts>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quorvex_bo::json {

// A JSON number held as its literal text.
struct Number {
  std::string text;
  bool operator==(const Number&) const = default;
};

class Value;
struct Member;
using Array = std::vector<Value>;

inline constexpr std::uint32_t no_mark = UINT32_MAX;

class Object {
 public:
  Object() = default;

  // The last member named `key`, or nullptr.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Every occurrence of `key` (more than one only in parsed documents).
  std::span<const Member> all(std::string_view key) const;
  std::span<Member> all(std::string_view key);

  // Sets `key` to `value`, replacing every earlier occurrence; keeps the order.
  void insert_or_assign(std::string key, Value value);

  // Defined after `Member`: a vector of an incomplete type may be declared but
  // not used.
  std::size_t size() const;
  bool empty() const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;
  std::vector<Member>::iterator begin();
  std::vector<Member>::iterator end();

  // For the parser: members in any order, made sorted (stable, so repeated
  // keys stay in document order).
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

  // Where the value started and (for arrays and objects) ended in the parsed
  // document; no_mark for values made in code.
  std::uint32_t mark = no_mark;
  std::uint32_t end_mark = no_mark;

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

// Structural equality (marks are ignored; repeated keys compare as written).
bool operator==(const Value& a, const Value& b);
bool operator==(const Object& a, const Object& b);

// ---- Parsing and writing ----------------------------------------------------

// Nesting limit of arrays and objects: 127 levels pass, the 128th fails.
inline constexpr std::size_t max_depth = 127;

// Parses one JSON value surrounded only by JSON white space. The error text is
// the description followed by " at line L column C".
std::expected<Value, std::string> parse(std::string_view text);

// Compact text: members in key order, only `"`, `\` and U+0000–U+001F escaped.
std::string write(const Value& value);
void write_to(std::string& out, const Value& value);
// A JSON string literal for `text` (quotes included), with the same escapes.
void write_string(std::string& out, std::string_view text);

// " at line L column C" for the value or container end with the given mark in
// `text` (a document that parsed); empty when the mark cannot be placed.
std::string position_suffix(std::string_view text, std::uint32_t mark);

// Whether `text` is a valid JSON number literal.
bool is_number_literal(std::string_view text);

// ---- Record decoding --------------------------------------------------------

struct DecodeError {
  std::string message;
  std::uint32_t mark = no_mark;
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

// Decoding is found through `Reader<T>`. The project provides readers for
// std::string, bool, the integer types, Value, std::optional<T>, std::vector<T>,
// TextMap, described enumerations and described records.
template <class T, class = void>
struct Reader;

template <class T>
Decoded<T> read(Value&& value) {
  return Reader<T>::read(std::move(value));
}

// Text to text, ordered by key; repeated keys in the document: the last wins.
using TextMap = std::map<std::string, std::string, std::less<>>;

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

template <class R, class M>
struct Field {
  std::string_view name;
  M R::*member;
  Presence presence;
  Decoded<M> (*reader)(Value&&);  // the value of a present member (null included)
  M (*fallback)();                // the value of a defaulted member when absent
  bool null_is_absent = false;    // a defaulted member given as null takes the default
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

template <class M>
constexpr Decoded<M> (*default_reader())(Value&&) {
  return +[](Value&& v) { return Reader<M>::read(std::move(v)); };
}

// Must be present (null goes to the reader, which usually refuses it).
template <class R, class M>
constexpr Field<R, M> required(std::string_view name, M R::*member,
                               Decoded<M> (*reader)(Value&&) = default_reader<M>()) {
  return {name, member, Presence::required, reader, nullptr, false};
}
// May be absent: the member keeps its value-initialised state (nullopt for an
// std::optional). A present member, null included, goes to the reader; the
// default reader of std::optional turns null into nullopt.
template <class R, class M>
constexpr Field<R, M> optional(std::string_view name, M R::*member,
                               Decoded<M> (*reader)(Value&&) = default_reader<M>()) {
  return {name, member, Presence::optional, reader, nullptr, false};
}
// Absent (or null, when `null_is_absent`) takes `fallback()`.
template <class R, class M>
constexpr Field<R, M> defaulted(std::string_view name, M R::*member, M (*fallback)(),
                                bool null_is_absent = true,
                                Decoded<M> (*reader)(Value&&) = default_reader<M>()) {
  return {name, member, Presence::defaulted, reader, fallback, null_is_absent};
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

namespace detail {

template <class R, class M>
std::optional<DecodeError> read_member(R& out, const Field<R, M>& field, Object& object,
                                       std::optional<DecodeError>& missing,
                                       std::uint32_t object_end) {
  std::span<Member> found = object.all(field.name);
  if (found.size() > 1)
    return DecodeError{"duplicate field `" + std::string(field.name) + "`", found[1].value.mark};
  if (found.empty() || (field.presence == Presence::defaulted && field.null_is_absent &&
                        found.front().value.is_null())) {
    switch (field.presence) {
      case Presence::required:
        if (!missing)
          missing = DecodeError{"missing field `" + std::string(field.name) + "`", object_end};
        break;
      case Presence::optional: out.*field.member = M{}; break;
      case Presence::defaulted: out.*field.member = field.fallback(); break;
    }
    return std::nullopt;
  }
  Decoded<M> value = field.reader(std::move(found.front().value));
  if (!value) return std::move(value.error());
  out.*field.member = std::move(*value);
  return std::nullopt;
}

template <class R, class M>
std::optional<DecodeError> read_element(R& out, const Field<R, M>& field, Value& element) {
  if (field.presence == Presence::defaulted && field.null_is_absent && element.is_null()) {
    out.*field.member = field.fallback();
    return std::nullopt;
  }
  Decoded<M> value = field.reader(std::move(element));
  if (!value) return std::move(value.error());
  out.*field.member = std::move(*value);
  return std::nullopt;
}

}  // namespace detail

template <DescribedRecord R>
Decoded<R> read_record(Value&& value) {
  static constexpr auto description = describe(std::type_identity<R>{});
  constexpr std::size_t n = std::tuple_size_v<decltype(description.fields)>;
  R out{};
  std::optional<DecodeError> error;
  if (Object* object = value.as_object()) {
    std::optional<DecodeError> missing;
    std::apply(
        [&](const auto&... field) {
          ((error || (error = detail::read_member(out, field, *object, missing, value.end_mark),
                      false)),
           ...);
        },
        description.fields);
    if (!error && missing) error = std::move(missing);
  } else if (Array* array = value.as_array()) {
    if (array->size() != n)
      return fail(value, invalid_length(array->size(), description.name, n));
    std::size_t i = 0;
    std::apply(
        [&](const auto&... field) {
          ((error || (error = detail::read_element(out, field, (*array)[i++]), false)), ...);
        },
        description.fields);
  } else {
    return invalid_type(value, "struct " + std::string(description.name));
  }
  if (error) return std::unexpected(std::move(*error));
  return out;
}

template <class R>
struct Reader<R, std::enable_if_t<DescribedRecord<R>>> {
  static Decoded<R> read(Value&& value) { return read_record<R>(std::move(value)); }
};

template <class E>
struct Reader<E, std::enable_if_t<DescribedEnum<E>>> {
  static Decoded<E> read(Value&& value) {
    static constexpr auto description = describe(std::type_identity<E>{});
    const std::string* text = value.as_string();
    if (!text) return invalid_type(value, "enum " + std::string(description.name));
    for (std::size_t i = 0; i < description.texts.size(); ++i)
      if (*text == description.texts[i]) return static_cast<E>(i);
    return fail(value, unknown_variant(*text, description.texts));
  }
};

template <>
struct Reader<std::string> {
  static Decoded<std::string> read(Value&& value);
};
template <>
struct Reader<bool> {
  static Decoded<bool> read(Value&& value);
};
template <>
struct Reader<std::uint16_t> {
  static Decoded<std::uint16_t> read(Value&& value);
};
template <>
struct Reader<std::uint32_t> {
  static Decoded<std::uint32_t> read(Value&& value);
};
template <>
struct Reader<std::uint64_t> {
  static Decoded<std::uint64_t> read(Value&& value);
};
template <>
struct Reader<std::int64_t> {
  static Decoded<std::int64_t> read(Value&& value);
};
template <>
struct Reader<Value> {
  static Decoded<Value> read(Value&& value) { return std::move(value); }
};
template <>
struct Reader<TextMap> {
  static Decoded<TextMap> read(Value&& value);
};

template <class T>
struct Reader<std::optional<T>> {
  static Decoded<std::optional<T>> read(Value&& value) {
    if (value.is_null()) return std::optional<T>{};
    Decoded<T> inner = Reader<T>::read(std::move(value));
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
};

// Decodes an already parsed document; `source` is its text, used only to place
// an error (" at line L column C" is appended to the message).
template <class T>
std::expected<T, std::string> decode_value(Value&& value, std::string_view source) {
  Decoded<T> out = read<T>(std::move(value));
  if (!out) return std::unexpected(out.error().message + position_suffix(source, out.error().mark));
  return std::move(*out);
}

// Parses `text` and decodes it as T: the syntax error or the decoding error.
template <class T>
std::expected<T, std::string> decode(std::string_view text) {
  std::expected<Value, std::string> value = parse(text);
  if (!value) return std::unexpected(std::move(value.error()));
  return decode_value<T>(std::move(*value), text);
}

}  // namespace quorvex_bo::json
