// The JSON reader and writer: the reader accepts exactly what the reference
// parser (which words its syntax errors) accepts, and whatever parses is written
// as compact UTF-8 text that parses to the same value and is written again byte
// for byte; a flat object written straight from its text comes out the same.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include <boost/json/basic_parser_impl.hpp>

#include "check.hpp"
#include "reference_listener.hpp"
#include "quorvex_bo/core/amount.hpp"

namespace {

namespace json = quorvex_bo::json;
using boost::system::error_code;


bool reference_accepts(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = json::max_depth;
  boost::json::basic_parser<quorvex_bo::json::Listener> parser(options);
  error_code ec;
  const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  return !ec && used == text.size();
}

// A record of every kind of member, decoded from a value's text straight and
// from its parse: the two must agree, failures word for word.
struct Nested {
  std::string text;
  std::optional<quorvex_bo::Amount> amount;
};
constexpr auto describe(std::type_identity<Nested>) {
  return json::record<Nested>("Nested", json::required("a", &Nested::text),
                              json::optional("e", &Nested::amount, quorvex_bo::amount::optional_reader));
}
struct Probe {
  std::string text;
  std::optional<std::uint16_t> number;
  std::vector<json::Value> list;
  json::TextMap map;
  std::optional<quorvex_bo::Amount> amount;
  std::optional<Nested> nested;
};
constexpr auto describe(std::type_identity<Probe>) {
  return json::record<Probe>("Probe", json::required("a", &Probe::text),
                             json::optional("b", &Probe::number), json::optional("c", &Probe::list),
                             json::optional("d", &Probe::map),
                             json::optional("e", &Probe::amount, quorvex_bo::amount::optional_reader),
                             json::optional("f", &Probe::nested));
}
std::string shown(const std::optional<quorvex_bo::Amount>& amount) {
  return amount ? json::to_text(*amount) : "-";
}
std::string shown(const std::expected<Probe, std::string>& probe) {
  if (!probe) return probe.error();
  return probe->text + "|" + std::to_string(probe->number.value_or(0)) + "|" +
         std::to_string(probe->list.size()) + "|" + json::to_text(probe->map) + "|" +
         shown(probe->amount) + "|" +
         (probe->nested ? probe->nested->text + shown(probe->nested->amount) : "-");
}

// Whether any object repeats a key: the writer keeps only the last occurrence,
// so such a value cannot come back equal.
bool repeats_a_key(const json::Value& value) {
  if (const json::Array* array = value.as_array())
    return std::ranges::any_of(*array, repeats_a_key);
  const json::Object* object = value.as_object();
  if (!object) return false;
  for (auto it = object->begin(); it != object->end(); ++it)
    if ((it + 1 != object->end() && it->key == (it + 1)->key) || repeats_a_key(it->value))
      return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = json::parse(text);
  qbo_check::require(value.has_value() == reference_accepts(text),
                     "the reader and the reference parser disagree", text);
  auto straight = json::decode<Probe>(text, json::Repeats::last_counts);
  if (value) {
    json::Value copy = *value;
    qbo_check::require(shown(straight) == shown(json::decode_value<Probe>(std::move(copy), text)),
                       "a value decoded from its text differs from its parse decoded", text);
  }
  if (json::FlatObject flat; flat.read(text))
    qbo_check::require(value && flat.write() == json::write(*value),
                       "a flat object written straight differs from its parse written", text);
  if (!value) {
    qbo_check::require(value.error().find(" at line ") != std::string::npos,
                       "syntax error without a position", value.error());
    return 0;
  }
  const std::string written = json::write(*value);
  const json::Value again = qbo_check::canonical(written);
  qbo_check::require(repeats_a_key(*value) || again == *value, "value changed on the way back",
                     written);
  return 0;
}
