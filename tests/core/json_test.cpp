#include "quorvex_bo/core/json.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace json = quorvex_bo::json;

namespace {

std::string roundtrip(std::string_view text) {
  auto value = json::parse(text);
  EXPECT_TRUE(value.has_value()) << text << ": " << value.error();
  return value ? json::write(*value) : std::string();
}

std::string parse_error(std::string_view text) {
  auto value = json::parse(text);
  EXPECT_FALSE(value.has_value()) << text;
  return value ? std::string() : value.error();
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

}  // namespace

// ---- literal numbers and writing ------------------------------------------

class NumberLiteral : public testing::TestWithParam<const char*> {};

TEST_P(NumberLiteral, survives_parse_and_write_byte_for_byte) {
  EXPECT_EQ(roundtrip(GetParam()), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Json, NumberLiteral,
                         testing::Values("100.50", "1E2", "-0", "0.000", "1e-7", "-12.5E+3",
                                         "1234567890123456789012345678901234567890",
                                         "[1.0,2.50,1E400]"));

TEST(JsonWrite, objects_come_out_sorted_by_key_bytes_at_every_level) {
  EXPECT_EQ(roundtrip(R"({"b":1,"a":{"z":null,"Z":true,"é":1,"e":2},"A":[]})"),
            R"({"A":[],"a":{"Z":true,"e":2,"z":null,"é":1},"b":1})");
}

TEST(JsonWrite, escapes_only_quote_backslash_and_control_characters) {
  json::Value v(std::string("q\" b\\ \b\f\n\r\t \x01\x1f\x7f é / <"));
  EXPECT_EQ(json::write(v), "\"q\\\" b\\\\ \\b\\f\\n\\r\\t \\u0001\\u001f\x7f é / <\"");
}

TEST(JsonWrite, compact_without_white_space) {
  EXPECT_EQ(roundtrip(" { \"a\" : [ 1 , true , null , \"x\" ] } \n"), R"({"a":[1,true,null,"x"]})");
}

TEST(JsonParse, unescapes_strings_and_surrogate_pairs) {
  auto v = json::parse(R"("a\u00e9\ud83d\ude00\n\/")");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v->as_string(), "a\xC3\xA9\xF0\x9F\x98\x80\n/");
}

TEST(JsonParse, repeated_member_keeps_the_last_value_for_free_values) {
  auto v = json::parse(R"({"a":1,"b":2,"a":3})");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->find("a")->as_number()->text, "3");
  EXPECT_EQ(json::write(*v), R"({"a":3,"b":2})");
  EXPECT_EQ(v->as_object()->size(), 2u);  // one member per name
}

TEST(JsonObject, insert_or_assign_keeps_order_and_replaces_repeats) {
  json::Object o;
  o.insert_or_assign("b", 1.0 == 1.0);
  o.insert_or_assign("a", "x");
  o.insert_or_assign("c", nullptr);
  o.insert_or_assign("a", "y");
  EXPECT_EQ(json::write(json::Value(std::move(o))), R"({"a":"y","b":true,"c":null})");
}

// ---- failures and positions -------------------------------------------------

TEST(JsonParse, depth_127_passes_and_128_fails) {
  EXPECT_TRUE(json::parse(nested(127)));
  EXPECT_EQ(parse_error(nested(128)).rfind("recursion limit exceeded at line 1 column ", 0), 0u);
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  objects += "1" + std::string(128, '}');
  EXPECT_EQ(parse_error(objects).rfind("recursion limit exceeded", 0), 0u);
}

TEST(JsonParse, only_json_white_space_may_follow_the_value) {
  EXPECT_TRUE(json::parse("{} \t\r\n"));
  EXPECT_EQ(parse_error("{} x"), "trailing characters at line 1 column 4");
  EXPECT_EQ(parse_error("{}\n{}"), "trailing characters at line 2 column 1");
  EXPECT_EQ(parse_error("1 2").rfind("trailing characters", 0), 0u);
  EXPECT_FALSE(json::parse("{}\f"));
  EXPECT_FALSE(json::parse("\xC2\xA0{}"));
}

struct Invalid {
  const char* text;
  const char* position;
};

class InvalidDocument : public testing::TestWithParam<Invalid> {};

TEST_P(InvalidDocument, fails_with_a_description_and_its_position) {
  std::string message = parse_error(GetParam().text);
  EXPECT_TRUE(message.ends_with(GetParam().position)) << message;
  EXPECT_GT(message.size(), std::string_view(GetParam().position).size());
}

INSTANTIATE_TEST_SUITE_P(
    Json, InvalidDocument,
    testing::Values(Invalid{"", " at line 1 column 1"}, Invalid{"{", " at line 1 column 2"},
                    Invalid{"{\n  \"a\": tru }", " at line 2 column 8"},
                    Invalid{"[1,]", " at line 1 column 4"},
                    Invalid{"\"\xFF\"", " at line 1 column 2"},
                    Invalid{"\"\\ud800\"", " at line 1 column 8"},
                    Invalid{"\"\\udc00x\"", " at line 1 column 8"},
                    Invalid{"[\"é\", x]", " at line 1 column 7"},
                    Invalid{"01", " at line 1 column 2"}, Invalid{"'a'", " at line 1 column 1"},
                    Invalid{"{\"a\" 1}", " at line 1 column 6"}));

// Every public conformance vector: y_ accepted, n_ rejected, i_ survived.
TEST(JsonParse, conformance_vectors) {
  const char* env = std::getenv("QBO_TEST_VECTORS");
  std::filesystem::path dir = env ? env : QBO_TEST_VECTORS;
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no vectors at " << dir;
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    auto value = json::parse(bytes);
    if (name.starts_with("y_")) {
      EXPECT_TRUE(value) << name << ": " << value.error();
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(value) << name;
    }
    if (value) json::write(*value);  // whatever was accepted can be written back
    ++seen;
  }
  EXPECT_GT(seen, 300);
}

// ---- record decoding --------------------------------------------------------

namespace demo {

enum class Colour : std::uint8_t { red, green };
constexpr auto describe(std::type_identity<Colour>) {
  return json::enumeration<Colour>("Colour", "red", "green");
}
enum class Size : std::uint8_t { s, m, l };
constexpr auto describe(std::type_identity<Size>) {
  return json::enumeration<Size>("Size", "s", "m", "l");
}

struct Inner {
  std::string name;
  std::optional<std::uint16_t> count;
};
constexpr auto describe(std::type_identity<Inner>) {
  return json::record<Inner>("Inner", json::required("name", &Inner::name),
                             json::optional("count", &Inner::count));
}

inline std::string default_label() { return "WEB"; }
inline Colour default_colour() { return Colour::red; }

struct Outer {
  std::string label;
  Colour colour = Colour::red;
  std::optional<Inner> inner;
  std::vector<Inner> list;
  json::TextMap map;
  Size size = Size::s;
  Colour strict = Colour::red;
};
constexpr auto describe(std::type_identity<Outer>) {
  return json::record<Outer>(
      "Outer", json::defaulted("label", &Outer::label, &default_label),
      json::required("colour", &Outer::colour), json::optional("inner", &Outer::inner),
      json::optional("list", &Outer::list), json::optional("map", &Outer::map),
      json::defaulted("size", &Outer::size, +[] { return Size::m; }),
      json::defaulted("strict", &Outer::strict, &default_colour, false));
}

struct One {
  std::string only;
};
constexpr auto describe(std::type_identity<One>) {
  return json::record<One>("One", json::required("only", &One::only));
}

}  // namespace demo

TEST(JsonRecord, object_form_with_defaults_optionals_and_unknown_members) {
  auto out = json::decode<demo::Outer>(
      R"({"colour":"green","inner":{"name":"n","count":7,"x":[]},"map":{"b":"2","a":"1","a":"3"},"zzz":{}})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->label, "WEB");
  EXPECT_EQ(out->colour, demo::Colour::green);
  ASSERT_TRUE(out->inner);
  EXPECT_EQ(out->inner->count, 7);
  EXPECT_TRUE(out->list.empty());
  EXPECT_EQ(out->map, (json::TextMap{{"a", "3"}, {"b", "2"}}));
  EXPECT_EQ(out->size, demo::Size::m);
}

TEST(JsonRecord, null_is_absent_for_optional_and_defaulted_members) {
  auto out = json::decode<demo::Outer>(R"({"label":null,"colour":"red","inner":null,"size":null})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->label, "WEB");
  EXPECT_FALSE(out->inner);
  EXPECT_EQ(out->size, demo::Size::m);
}

TEST(JsonRecord, array_form_at_every_depth) {
  auto out = json::decode<demo::Outer>(R"(["L","green",["n",null],[["a",1],{"name":"b"}],{},"l","red"])");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->label, "L");
  EXPECT_EQ(out->inner->name, "n");
  ASSERT_EQ(out->list.size(), 2u);
  EXPECT_EQ(out->list[0].count, 1);
  EXPECT_EQ(out->list[1].name, "b");
  EXPECT_EQ(out->size, demo::Size::l);
}

struct DecodeFailure {
  const char* text;
  const char* message;
};

class RecordFailure : public testing::TestWithParam<DecodeFailure> {};

TEST_P(RecordFailure, names_the_problem_and_its_position) {
  auto out = json::decode<demo::Outer>(GetParam().text);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Json, RecordFailure,
    testing::Values(
        DecodeFailure{R"({"label":"x"})", "missing field `colour` at line 1 column 13"},
        DecodeFailure{R"({"colour":"red","colour":"red"})",
                      "duplicate field `colour` at line 1 column 26"},
        DecodeFailure{R"({"colour":"blue"})",
                      "unknown variant `blue`, expected `red` or `green` at line 1 column 11"},
        DecodeFailure{R"({"colour":"red","size":"xl"})",
                      "unknown variant `xl`, expected one of `s`, `m`, `l` at line 1 column 24"},
        DecodeFailure{R"({"colour":"red","strict":null})",
                      "invalid type: null, expected enum Colour at line 1 column 26"},
        DecodeFailure{R"({"colour":1})",
                      "invalid type: integer `1`, expected enum Colour at line 1 column 11"},
        DecodeFailure{"{\"colour\":\"red\",\n\"inner\":{\"name\":5}}",
                      "invalid type: integer `5`, expected a string at line 2 column 17"},
        DecodeFailure{R"({"colour":"red","inner":{"name":"n","count":70000}})",
                      "invalid value: integer `70000`, expected u16 at line 1 column 45"},
        DecodeFailure{R"({"colour":"red","inner":{"name":"n","count":-1}})",
                      "invalid value: integer `-1`, expected u16 at line 1 column 45"},
        DecodeFailure{R"({"colour":"red","inner":{"name":"n","count":1.5}})",
                      "invalid type: floating point `1.5`, expected u16 at line 1 column 45"},
        DecodeFailure{R"({"colour":"red","inner":["n"]})",
                      "invalid length 1, expected struct Inner with 2 elements at line 1 column 25"},
        DecodeFailure{R"({"colour":"red","list":{}})",
                      "invalid type: map, expected a sequence at line 1 column 24"},
        DecodeFailure{R"({"colour":"red","map":{"a":true}})",
                      "invalid type: boolean `true`, expected a string at line 1 column 28"},
        DecodeFailure{R"("text")", "invalid type: string \"text\", expected struct Outer at line 1 column 1"},
        DecodeFailure{"null", "invalid type: null, expected struct Outer at line 1 column 1"},
        DecodeFailure{"{", "EOF while parsing a value at line 1 column 2"}));

TEST(JsonRecord, length_message_is_singular_for_one_element) {
  auto out = json::decode<demo::One>("[]");
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), "invalid length 0, expected struct One with 1 element at line 1 column 1");
}

TEST(JsonRecord, repeated_unlisted_members_are_ignored) {
  auto out = json::decode<demo::One>(R"({"x":1,"only":"a","x":2})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->only, "a");
}

TEST(JsonRecord, a_listed_member_repeated_fails_even_inside_a_list) {
  auto out = json::decode<demo::Outer>(R"({"colour":"red","list":[{"name":"a","name":"b"}]})");
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), "duplicate field `name` at line 1 column 44");
}

TEST(JsonRecord, strings_are_moved_out_of_the_tree) {
  auto value = json::parse(R"({"only":"a fairly long text that does not fit a small string"})");
  ASSERT_TRUE(value);
  const char* data = value->find("only")->as_string()->data();
  auto out = json::read<demo::One>(std::move(*value));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->only.data(), data);
}

// A value holds one member per name: decoding its text straight, with the last
// of a repeated member counting, gives what decoding its parse gives.
TEST(JsonRecord, a_value_decoded_from_its_text_is_its_parse_decoded) {
  for (std::string_view text :
       {R"({"colour":"red","colour":"green","label":"a","label":null})",
        R"({"colour":1,"colour":"red","inner":{"name":2,"name":"n"},"list":[{"name":"x","name":3}]})",
        R"({"colour":"red","map":{"a":1,"a":"z","b":"y"},"size":"xl","size":"l"})",
        R"({"colour":"red","inner":{"name":"n"},"inner":["m",5]})",
        R"(["L","green",null,[],{},"s","red"])", R"({"label":"x"})", R"({"colour":"red",})",
        R"({"colour":"red","strict":null,"strict":"green","zzz":{"a":1,"a":[}})"}) {
    auto straight = json::decode<demo::Outer>(text, json::Repeats::last_counts);
    auto parsed = json::parse(text);
    auto through_value = parsed ? json::decode_value<demo::Outer>(std::move(*parsed), text)
                                : std::expected<demo::Outer, std::string>(std::unexpected(parsed.error()));
    auto show = [](const std::expected<demo::Outer, std::string>& out) {
      if (!out) return out.error();
      return out->label + json::to_text(std::vector{json::enum_text(out->colour),
                                                    json::enum_text(out->size),
                                                    json::enum_text(out->strict)}) +
             (out->inner ? out->inner->name : "-") + std::to_string(out->list.size()) +
             json::to_text(out->map);
    };
    EXPECT_EQ(show(straight), show(through_value)) << text;
  }
}
