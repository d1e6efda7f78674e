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

// A decoded record in one line, or the error.
std::string show(const std::expected<Outer, std::string>& out) {
  if (!out) return out.error();
  const auto inner = [](const Inner& i) {
    return i.name + ":" + (i.count ? std::to_string(*i.count) : "-");
  };
  std::string text = out->label + " " + std::string(json::enum_text(out->colour)) + " " +
                     (out->inner ? inner(*out->inner) : "-") + " [";
  for (const Inner& item : out->list) text += inner(item) + ",";
  return text + "] " + json::to_text(out->map);
}

// A member of unbounded text: its record takes the general path, member by member.
struct Unbounded {
  const std::string& text;
};
void write_json(std::string& out, const Unbounded& member) { json::write_json(out, member.text); }

// What a string's escapes stand for, decoded one by one (\uXXXX below U+0800).
std::string decoded(std::string_view escaped) {
  std::string out;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      out += escaped[i];
    } else if (escaped[++i] == 'u') {
      const auto cp = std::stoul(std::string(escaped.substr(i + 1, 4)), nullptr, 16);
      i += 4;
      if (cp >= 0x80) out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(cp < 0x80 ? cp : 0x80 | (cp & 0x3F));
    } else {
      out += std::string_view("\"\\/\b\f\n\r\t")[std::string_view("\"\\/bfnrt").find(escaped[i])];
    }
  }
  return out;
}

}  // namespace

TEST(JsonParse, failures_name_the_position) {
  const auto nested = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  const std::pair<std::string, const char*> rows[] = {
      {nested(127), "<parsed>"},
      {nested(128), "recursion limit exceeded at line 1 column 128"},
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
    GTEST_SKIP() << "JSON conformance vectors not found at " << dir << ": put JSONTestSuite in "
                 << "../shared/data beside the checkout, or its test_parsing in QBO_TEST_VECTORS";
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

TEST(JsonRecord, object_and_array_forms_with_defaults_optionals_and_unknown_members) {
  EXPECT_EQ(show(json::decode<Outer>(
                R"({"colour":"green","inner":{"name":"n","count":7,"x":[]},"map":{"b":"2","a":"0","c":"3","a":"1"},"z":1,"z":2})")),
            R"(WEB green n:7 [] {"a":"1","b":"2","c":"3"})");
  EXPECT_EQ(show(json::decode<Outer>(R"({"label":null,"colour":"red","inner":null})")),
            "WEB red - [] {}");
  EXPECT_EQ(show(json::decode<Outer>(R"(["L","green",["n",null],[["a",1],{"name":"b"}],{}])")),
            "L green n:- [a:1,b:-,] {}");
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
  const auto out = json::decode<Outer>(many + R"("k":"last"}})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->map, sorted);
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

// A text decoded straight (the last of a repeated member counting) is its parse decoded.
TEST(JsonRecord, a_value_decoded_from_its_text_is_its_parse_decoded) {
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

// A flat object read straight from its text is written as its parse is; other texts are refused.
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

// The writer's fast paths against its general ones: whole texts against the same texts as parts
// (always the escaping copy), records of bounded members against members appended one by one.
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
  using json::put, json::put_if;
  const auto object = [](const auto&... members) {
    std::string out;
    json::write_object(out, members...);
    return out;
  };
  const std::string a = "plain", b = "with \"quote\"", c = "last\n";
  for (const bool first : {false, true})
    for (const bool middle : {false, true}) {
      const auto second = put_if<"b">(middle, b);
      const std::string bounded = object(put_if<"a">(first, a), second, put<"c">(c));
      EXPECT_EQ(object(put_if<"a">(first, a), second, put<"c">(Unbounded{c})), bounded);
      EXPECT_EQ(object(put_if<"a">(first, Unbounded{a}), second, put<"c">(c)), bounded);
    }
  EXPECT_EQ(object(put_if<"a">(false, a)), "{}");
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

// The block unescapers, alone and combined in the cursor, against escapes decoded one by one:
// plain bytes, escapes of every kind and UTF-8, at every distance from the end of the text.
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
    const std::string token = "\"" + text;
    EXPECT_EQ(json::Cursor(token).string(), decoded(contents)) << text;
#if defined(__SSE2__)
    // An unescaper stops at a block it does not take, having written what the text read means.
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
