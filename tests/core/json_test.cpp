// The JSON layer: limits, positions and record decoding. Writing, escapes and
// sorted members are checked against Python's json module (tests/python).
#include "quorvex_bo/core/json.hpp"

#include "json_scan.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>

namespace json = quorvex_bo::json;

namespace {

std::string parse_error(std::string_view text) {
  auto value = json::parse(text);
  return value ? "<parsed>" : value.error();
}

enum class Colour : std::uint8_t { red, green };
constexpr auto describe(std::type_identity<Colour>) {
  return json::enumeration<Colour>("Colour", "red", "green");
}
struct Inner {
  std::string name;
  std::optional<std::uint16_t> count;
};
constexpr auto describe(std::type_identity<Inner>) {
  return json::record<Inner>("Inner", json::required("name", &Inner::name),
                             json::optional("count", &Inner::count));
}
std::string default_label() { return "WEB"; }
struct Outer {
  std::string label;
  Colour colour = Colour::red;
  std::optional<Inner> inner;
  std::vector<Inner> list;
  json::TextMap map;
};
constexpr auto describe(std::type_identity<Outer>) {
  return json::record<Outer>(
      "Outer", json::defaulted("label", &Outer::label, &default_label),
      json::required("colour", &Outer::colour), json::optional("inner", &Outer::inner),
      json::optional("list", &Outer::list), json::optional("map", &Outer::map));
}
struct One {
  std::string only;
};
constexpr auto describe(std::type_identity<One>) {
  return json::record<One>("One", json::required("only", &One::only, json::spare_text_reader));
}

}  // namespace

TEST(JsonParse, depth_127_passes_and_128_fails) {
  auto nested = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_EQ(parse_error(nested(127)), "<parsed>");
  EXPECT_EQ(parse_error(nested(128)), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonParse, failures_name_the_position) {
  const std::pair<const char*, const char*> rows[] = {
      {"{} \t\r\n", "<parsed>"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"", "EOF while parsing a value at line 1 column 1"},
      {"[\"é\", x]", " at line 1 column 7"},
      {"[\"\\u00:0\"]", "expected hex digit at line 1 column 7"},
      {"[\"\\udc00\"]", "illegal trailing surrogate at line 1 column 9"},
      {"[\"a\\ud800\"]", " at line 1 column 10"},
      {"0.001e-2147483646", "exponent overflow at line 1 column 18"},
      {"1e2147483648", "exponent overflow at line 1 column 12"},
      {"1e2147483646", "<parsed>"}};
  for (const auto& [text, message] : rows)
    EXPECT_TRUE(parse_error(text).ends_with(message)) << text << ": " << parse_error(text);
  EXPECT_NE(parse_error("{}\f"), "<parsed>");
  for (std::string_view number : {"-0.5E+3", "1e-5", "0", "01", "1.", "-", "1e", "+1"}) {
    const auto value = json::parse(number);
    EXPECT_EQ(json::is_number_literal(number), value && value->as_number()) << number;
  }
  EXPECT_FALSE(json::parse(R"({"a":1})").value() == json::parse(R"({"a":2})").value());
  EXPECT_FALSE(json::parse(R"({"a":1})").value() == json::parse(R"({"b":1})").value());
}

// Every public conformance vector: y_ accepted, n_ rejected, i_ survived.
TEST(JsonParse, conformance_vectors) {
  const char* env = std::getenv("QBO_TEST_VECTORS");
  const std::filesystem::path dir = env ? env : QBO_TEST_VECTORS;
  if (!std::filesystem::is_directory(dir))
    GTEST_SKIP() << "JSON conformance vectors not found at " << dir
                 << ": put JSONTestSuite in ../shared/data beside the checkout, or name its "
                    "test_parsing folder in QBO_TEST_VECTORS";
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    auto value = json::parse(std::string{std::istreambuf_iterator<char>(in), {}});
    EXPECT_TRUE(value || !name.starts_with("y_")) << name << ": " << value.error();
    EXPECT_TRUE(!value || !name.starts_with("n_")) << name;
    if (value) json::write(*value);
    ++seen;
  }
  EXPECT_GT(seen, 300);
}

TEST(JsonRecord, object_form_with_defaults_optionals_and_unknown_members) {
  auto out = json::decode<Outer>(
      R"({"colour":"green","inner":{"name":"n","count":7,"x":[]},"map":{"b":"2","a":"0","c":"3","a":"1"},"z":1,"z":2})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->label, "WEB");
  EXPECT_EQ(out->colour, Colour::green);
  EXPECT_EQ(out->inner->count, 7);
  EXPECT_EQ(out->map, (json::TextMap{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
  out = json::decode<Outer>(R"({"label":null,"colour":"red","inner":null})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->label, "WEB");
  EXPECT_FALSE(out->inner);
  // A text map holds one entry per name, the last given, in byte order.
  EXPECT_EQ(json::to_text(json::TextMap{{"b", "1"}, {"c", "2"}, {"a", "3"}, {"b", "4"}, {"a", "5"}}),
            R"({"a":"5","b":"4","c":"2"})");
  // More entries than a request's headers, in reverse order, one repeated.
  std::string many = R"({"colour":"red","map":{)";
  json::TextMap sorted;
  for (char c = 't'; c >= 'a'; --c) {
    many += std::string("\"") + c + "\":\"" + c + "\",";
    sorted[std::string(1, c)] = c == 'k' ? "last" : std::string(1, c);
  }
  out = json::decode<Outer>(many + R"("k":"last"}})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->map, sorted);
}

TEST(JsonRecord, array_form_at_every_depth) {
  auto out = json::decode<Outer>(R"(["L","green",["n",null],[["a",1],{"name":"b"}],{}])");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->label, "L");
  EXPECT_EQ(out->inner->name, "n");
  EXPECT_EQ(out->list.at(0).count, 1);
  EXPECT_EQ(out->list.at(1).name, "b");
}

TEST(JsonRecord, failures_name_the_problem_and_its_position) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"label":"x"})", "missing field `colour` at line 1 column 13"},
      {R"({"colour":"red","colour":"red"})", "duplicate field `colour` at line 1 column 26"},
      {R"({"colour":"red","list":[{"name":"a","name":"b"}]})",
       "duplicate field `name` at line 1 column 44"},
      {R"({"colour":"blue"})", "unknown variant `blue`, expected `red` or `green` at line 1 column 11"},
      {"{\"colour\":\"red\",\n\"inner\":{\"name\":5}}",
       "invalid type: integer `5`, expected a string at line 2 column 17"},
      {R"({"colour":"red","inner":{"name":"n","count":70000}})",
       "invalid value: integer `70000`, expected u16 at line 1 column 45"},
      {R"({"colour":"red","inner":{"name":"n","count":-1}})",
       "invalid value: integer `-1`, expected u16 at line 1 column 45"},
      {R"({"colour":"red","inner":{"name":"n","count":1.5}})",
       "invalid type: floating point `1.5`, expected u16 at line 1 column 45"},
      {R"({"colour":"red","inner":["n"]})",
       "invalid length 1, expected struct Inner with 2 elements at line 1 column 25"},
      {R"({"colour":"red","list":{}})", "invalid type: map, expected a sequence at line 1 column 24"},
      {R"({"colour":"red","map":[]})", "invalid type: sequence, expected a map at line 1 column 23"},
      // in a document each occurrence of a name counts, also for its type
      {R"({"colour":"red","map":{"a":1,"a":"x"}})",
       "invalid type: integer `1`, expected a string at line 1 column 28"},
      {R"({"colour":"red","map":{"a":1,"b":2}})",
       "invalid type: integer `1`, expected a string at line 1 column 28"},
      {R"("text")", "invalid type: string \"text\", expected struct Outer at line 1 column 1"}};
  for (const auto& [text, message] : rows) EXPECT_EQ(json::decode<Outer>(text).error(), message);
  EXPECT_EQ(json::decode<One>("[]").error(),
            "invalid length 0, expected struct One with 1 element at line 1 column 1");
  EXPECT_EQ(json::decode_value<One>(json::parse(R"({"only":"x"})").value(), "")->only, "x");
  const std::string_view variants[] = {"a", "b"};
  EXPECT_EQ(json::unknown_variant("x", {}), "unknown variant `x`, there are no variants");
  EXPECT_EQ(json::unknown_variant("x", std::span(variants).first(1)), "unknown variant `x`, expected `a`");
}

// A value holds one member per name: decoding its text straight, with the last
// of a repeated member counting, gives what decoding its parse gives.
TEST(JsonRecord, a_value_decoded_from_its_text_is_its_parse_decoded) {
  auto show = [](const std::expected<Outer, std::string>& out) {
    if (!out) return out.error();
    return out->label + std::string(json::enum_text(out->colour)) +
           (out->inner ? out->inner->name + std::to_string(out->inner->count.value_or(0)) : "-") +
           std::to_string(out->list.size()) +
           json::to_text(out->map);
  };
  for (std::string_view text :
       {R"({"colour":"red","colour":"green","label":"a","label":null})",
        R"({"colour":1,"colour":"red","inner":{"name":2,"name":"n"},"list":[{"name":"x","name":3}]})",
        R"({"colour":"red","map":{"a":1,"a":"z","b":"y"},"map":{"a":"1"}})",
        R"({"colour":"red","map":{"a":1,"a":"z","b":"y"}})",
        R"({"colour":"red","inner":{"name":"n"},"inner":["m",5]})", R"(["L","green",null,[],{}])",
        // a repeated record is replaced whole, not merged
        R"({"colour":"red","inner":{"name":"n","count":4},"inner":{"name":"m"}})",
        R"({"colour":"red","inner":{"name":"n","count":4},"inner":null})",
        R"({"label":"x"})", R"({"colour":"red",})", R"({"colour":"red","zzz":{"a":1,"a":[}})",
        "{\"colour\":\"red\",\"zzz\":\"a\x01\"}",
        R"({"colour":"red","map":[1]})", R"({"colour":"red","map":5,"map":{"a":"b"}})",
        R"({"colour":"red","inner":{"name":[]}})", R"({"colour":"red","list":[{"name":{}}]})"}) {
    auto parsed = json::parse(text);
    EXPECT_EQ(show(json::decode<Outer>(text, json::Repeats::last_counts)),
              show(parsed ? json::decode_value<Outer>(std::move(*parsed), text)
                          : std::unexpected(parsed.error())))
        << text;
  }
}

// A flat object read straight from its text is written as its parse is, and
// every other text is left to the parse.
TEST(JsonFlat, a_flat_object_is_written_as_its_parse_is) {
  const std::pair<std::string_view, bool> cases[] = {
      {R"({"b":1,"a":"x","b":"y","c":null,"a":true})", true},
      {R"( { "z" : -1.50e+3 , "\u00e9" : 1 } )", false},  // an escaped key
      {R"({"s":"a\"b\\c\/\n\u00e9\ud83d\ude00","é":"é","":false})", true},
      {R"({"ab":1,"a":2,"b":3,"aa":4,"a":5})", true}, {R"({})", true},
      {R"({"a":{"b":1}})", false}, {R"({"a":[]})", false}, {R"([1])", false},
      {R"({"a":1,})", false}, {R"({"a":1} x)", false},
      {R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,"l":12,"m":13,"n":14,"o":15,"p":16})", true},
      {R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,"l":12,"m":13,"n":14,"o":15,"p":16,"q":17})", false}};
  for (const auto& [text, flat] : cases) {
    json::FlatObject object;
    ASSERT_EQ(object.read(text), flat) << text;
    if (flat) {
      EXPECT_EQ(object.write(), json::write(json::parse(text).value())) << text;
    }
  }
}

namespace {
// A member whose text has no bound sends its record down the general path,
// which appends member by member.
struct Unbounded {
  const std::string& text;
};
void write_json(std::string& out, const Unbounded& member) { json::write_json(out, member.text); }
}  // namespace

// Each fast path of the writer against its general one: texts written whole
// (short plain ones copied as words or blocks) against the same texts given as
// parts, which always take the escaping copy; records of bounded members
// against the same members appended one by one.
TEST(JsonWrite, fast_paths_write_what_the_general_paths_write) {
  std::vector<std::size_t> sizes(200);
  std::iota(sizes.begin(), sizes.end(), 0);
  sizes.push_back(json::counted_room_above + 50);  // its escapes counted, not guessed
  for (const std::size_t size : sizes)
    for (const char special : {'a', '"', '\\', '\0', '\x1f', '\n', '\x7f', '\xc3', ' ', '!', '#', ']'})
      for (const std::size_t at : {std::size_t{0}, size / 2, size ? size - 1 : 0}) {
        std::string text(size, 'x');
        if (size) text[at] = special;
        std::string general;
        json::write_string(general, {text});
        EXPECT_EQ(json::to_text(text), general) << size << " " << int(special) << " " << at;
        EXPECT_EQ(json::to_text(json::MostlyPlain{text}), general) << size;
        EXPECT_LE(general.size(), json::json_room(text));
      }
  const std::string a = "plain", b = "with \"quote\"", c = "last\n";
  for (const bool first : {false, true})
    for (const bool middle : {false, true}) {
      using json::put, json::put_if;
      std::string bounded, general;
      json::write_object(bounded, put_if<"a">(first, a), put_if<"b">(middle, b), put<"c">(c));
      json::write_object(general, put_if<"a">(first, a), put_if<"b">(middle, b),
                         put<"c">(Unbounded{c}));
      EXPECT_EQ(bounded, general);
      general.clear();
      json::write_object(general, put_if<"a">(first, Unbounded{a}), put_if<"b">(middle, b),
                         put<"c">(c));
      EXPECT_EQ(bounded, general);
    }
  std::string empty;
  json::write_object(empty, json::put_if<"a">(false, a));
  EXPECT_EQ(empty, "{}");
  // A value whose worst case is large counts its escapes: the same text.
  json::Array many(200'000, json::Value("a\"\x01"));
  const json::Value large(std::move(many));
  std::string expected = "[";
  for (const json::Value& element : *large.as_array()) expected += json::write(element) + ",";
  expected.back() = ']';
  EXPECT_EQ(json::write(large), expected);
  EXPECT_LE(expected.size(), json::json_room(large));
  for (const json::Value& scalar : {json::Value(false), json::Value(true), json::Value(nullptr)})
    EXPECT_LE(json::write(scalar).size(), json::json_room(scalar));
}

namespace {

// What a string's escapes stand for, decoded one by one: \uXXXX of the Basic
// Multilingual Plane outside the surrogates, and the two-byte ones.
std::string decoded(std::string_view escaped) {
  std::string out;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      out += escaped[i];
      continue;
    }
    const char kind = escaped[++i];
    if (kind == 'u') {
      const auto cp = static_cast<unsigned>(std::stoul(std::string(escaped.substr(i + 1, 4)), nullptr, 16));
      i += 4;
      if (cp < 0x80) {
        out += static_cast<char>(cp);
      } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      }
      continue;
    }
    out += std::string_view("\"\\/\b\f\n\r\t")[std::string_view("\"\\/bfnrt").find(kind)];
  }
  return out;
}

}  // namespace

// Strings read through the block unescapers (each on its own, and the cursor that
// combines them) against the escapes decoded one by one: texts of plain bytes,
// escapes of every kind and UTF-8, at every distance from the end of the text.
TEST(JsonRead, block_unescapers_decode_what_the_escapes_stand_for) {
  const std::string_view pieces[] = {"a", "bcdefgh", "\\\"", "\\/", "\\\\", "\\n",
                                     "\\t", "\\u00e9", "\\u0041", "\xc3\xa9", " "};
  std::mt19937 random(7);
  for (int round = 0; round < 4000; ++round) {
    std::string contents;
    for (int n = static_cast<int>(random() % 40); n > 0; --n) {
      // Mostly the escaped quotes and plain runs of a JSON text inside a string.
      const std::size_t pick = random() % 16;
      contents += pieces[pick < std::size(pieces) ? pick : pick % 3];
    }
    const std::string text = contents + "\"" + std::string(random() % 40, '}');
    const std::string expected = decoded(contents);
    const std::string token = "\"" + text;
    json::Cursor cursor(token);
    EXPECT_EQ(cursor.string(), expected) << text;
#if defined(__SSE2__)
    // Each unescaper stops at a block it does not take; what it wrote until
    // then is what the text up to there stands for.
    const auto check = [&](auto blocks, const char* name) {
      std::string out(text.size() + 16, '\0');
      char* o = out.data();
      const char* const stop = blocks(text.data(), text.data() + text.size(), o);
      const auto read = static_cast<std::size_t>(stop - text.data());
      ASSERT_LE(read, contents.size()) << name << " " << text;
      EXPECT_EQ(out.substr(0, static_cast<std::size_t>(o - out.data())), decoded(text.substr(0, read)))
          << name << " " << text;
    };
    check([](const char* p, const char* end, char*& o) {
      return json::scan::unescape_blocks(p, end, o, json::scan::simple_escapes);
    }, "blocks");
    if (json::scan::has_ssse3()) check(json::scan::drop_backslashes, "shuffle");
#endif
  }
  // Beyond the spare buffer's size a string is scanned first, then copied.
  const std::string large(1 << 17, 'x');
  EXPECT_EQ(json::decode<std::string>("\"\\n" + large + "\"").value(), "\n" + large);
  EXPECT_FALSE(json::decode<std::string>("\"" + large));
  EXPECT_EQ(json::decode<One>(R"({"only":"\n)" + large + "\"}").value().only, "\n" + large);
  EXPECT_FALSE(json::decode<One>(R"({"only":")" + large));
}
