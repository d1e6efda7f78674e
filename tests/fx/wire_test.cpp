// Decoding of the gateway's generation and status answers and their conversion
// into the result records.

#include "quorvex_bo/fx/wire.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "quorvex_bo/core/json.hpp"

namespace {

using namespace quorvex_bo;
using namespace quorvex_bo::fx;
using std::nullopt;
using std::optional;
using std::string;

json::Value parsed(std::string_view text) {
  std::expected<json::Value, std::string> value = json::parse(text);
  EXPECT_TRUE(value) << value.error();
  return value ? std::move(*value) : json::Value();
}

// The generation answer `body` through into_qr: the written record or the error message.
string qr(std::string_view body) {
  std::expected<Generated, std::string> wire = json::decode<Generated>(body);
  if (!wire) return "decode failed: " + wire.error();
  Result<FxQr> out = std::move(*wire).into_qr();
  if (!out) return "error " + string(kind_name(out.error().kind)) + ": " + out.error().message;
  return json::write(to_json(std::move(*out)));
}

string info(std::string_view body, string reference) {
  std::expected<Status, std::string> wire = json::decode<Status>(body);
  if (!wire) return "decode failed: " + wire.error();
  return json::write(to_json(std::move(*wire).into_info(std::move(reference))));
}

// ---- opt_text ---------------------------------------------------------------

struct TextCase {
  const char* json;
  optional<string> expected;
};

class OptText : public testing::TestWithParam<TextCase> {};

TEST_P(OptText, strings_as_received_numbers_as_literal_text_others_absent) {
  const TextCase& c = GetParam();
  EXPECT_EQ(wire::opt_text(parsed(c.json)), c.expected);
  // The record reader follows the same rule, taking the text out of the value.
  json::Decoded<optional<string>> read = wire::read_opt_text(parsed(c.json));
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, c.expected);
}

INSTANTIATE_TEST_SUITE_P(FxWire, OptText,
                         testing::Values(TextCase{R"("ABC")", "ABC"},
                                         TextCase{R"("  ABC  ")", "  ABC  "}, TextCase{R"("")", ""},
                                         TextCase{"12345", "12345"}, TextCase{"1.50", "1.50"},
                                         TextCase{"1e3", "1e3"}, TextCase{"-0.0E+2", "-0.0E+2"},
                                         TextCase{"123456789012345678901234567890123456789",
                                                  "123456789012345678901234567890123456789"},
                                         TextCase{"null", nullopt}, TextCase{"true", nullopt},
                                         TextCase{"false", nullopt}, TextCase{"[1]", nullopt},
                                         TextCase{R"({"a":"b"})", nullopt}));

// ---- non_empty --------------------------------------------------------------

struct NonEmptyCase {
  optional<string> in;
  optional<string> expected;
};

class NonEmpty : public testing::TestWithParam<NonEmptyCase> {};

TEST_P(NonEmpty, trims_unicode_white_space_and_drops_blank_text) {
  EXPECT_EQ(wire::non_empty(GetParam().in), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    FxWire, NonEmpty,
    testing::Values(NonEmptyCase{nullopt, nullopt}, NonEmptyCase{"", nullopt},
                    NonEmptyCase{" \t\r\n ", nullopt}, NonEmptyCase{"ABC", "ABC"},
                    NonEmptyCase{"  ABC  ", "ABC"}, NonEmptyCase{"a b", "a b"},
                    // no-break space, ideographic space, em space, line separator
                    NonEmptyCase{"\u00a0x\u3000", "x"}, NonEmptyCase{"\u2003\u2028", nullopt},
                    NonEmptyCase{"\u0085y\u202f", "y"},
                    // zero width space and byte order mark are not white space
                    NonEmptyCase{"\u200b", "\u200b"}, NonEmptyCase{"\ufeffz", "\ufeffz"}));

TEST(FxWire, non_empty_trims_a_long_text_in_place) {
  string image = "  " + string(1 << 20, 'A') + "\n";
  const char* const storage = image.data();
  optional<string> out = wire::non_empty(std::move(image));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), std::size_t{1} << 20);
  EXPECT_EQ(out->data(), storage);  // moved and trimmed, never copied
}

// ---- image type ---------------------------------------------------------------

struct MimeCase {
  const char* image;
  const char* mime;
};

class ImageMime : public testing::TestWithParam<MimeCase> {};

TEST_P(ImageMime, chosen_case_sensitively_from_the_base64_start) {
  EXPECT_EQ(wire::image_mime(GetParam().image), GetParam().mime);
}

INSTANTIATE_TEST_SUITE_P(
    FxWire, ImageMime,
    testing::Values(MimeCase{"iVBORw0KGgoAAAANSUhEUg==", "image/png"},
                    MimeCase{"iVBOR", "image/png"}, MimeCase{"iVBO", "application/octet-stream"},
                    MimeCase{"ivborw0KGgo", "application/octet-stream"},
                    MimeCase{"/9j/4AAQSkZJRg==", "image/jpeg"}, MimeCase{"/9j/", "image/jpeg"},
                    MimeCase{"/9j", "application/octet-stream"},
                    MimeCase{"data:image/png;base64,iVBORw0KGgo=", "application/octet-stream"},
                    MimeCase{"R0lGODlh", "application/octet-stream"},
                    MimeCase{"", "application/octet-stream"}));

// ---- Generated::into_qr -----------------------------------------------------

struct QrCase {
  const char* body;
  const char* expected;
};

class IntoQr : public testing::TestWithParam<QrCase> {};

TEST_P(IntoQr, missing_values_checked_reference_then_image_then_amount) {
  EXPECT_EQ(qr(GetParam().body), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    FxWire, IntoQr,
    testing::Values(
        QrCase{R"({"codigoRespuesta":"SUCCESS"})",
               "error decode: generation response has no `numeroReferencia`"},
        QrCase{
            R"({"codigoRespuesta":"SUCCESS","numeroReferencia":"  ","imagen":"iVBOR","monto":1})",
            "error decode: generation response has no `numeroReferencia`"},
        QrCase{
            R"({"codigoRespuesta":"SUCCESS","numeroReferencia":true,"imagen":"iVBOR","monto":1})",
            "error decode: generation response has no `numeroReferencia`"},
        QrCase{
            R"({"codigoRespuesta":"SUCCESS","numeroReferencia":{"a":1},"imagen":"iVBOR","monto":1})",
            "error decode: generation response has no `numeroReferencia`"},
        QrCase{
            R"({"codigoRespuesta":"SUCCESS","numeroReferencia":null,"imagen":"iVBOR","monto":1})",
            "error decode: generation response has no `numeroReferencia`"},
        QrCase{R"({"codigoRespuesta":"SUCCESS","numeroReferencia":"R1"})",
               "error decode: generation response has no `imagen`"},
        QrCase{
            R"({"codigoRespuesta":"SUCCESS","numeroReferencia":"R1","imagen":"\u3000\n","monto":1})",
            "error decode: generation response has no `imagen`"},
        QrCase{R"({"codigoRespuesta":"SUCCESS","numeroReferencia":"R1","imagen":"iVBOR"})",
               "error decode: generation response has no `monto`"},
        QrCase{
            R"({"codigoRespuesta":"SUCCESS","numeroReferencia":"R1","imagen":"iVBOR","monto":null})",
            "error decode: generation response has no `monto`"}));

TEST(FxWire, into_qr_cleans_every_member_and_keeps_the_raw_status) {
  EXPECT_EQ(
      qr(R"({"tipoCambio":6.9600,"codigoRespuesta":" success\n","detalleRespuesta":"  ok  ",)"
         R"("numeroReferencia":987,"origenNumeroReferencia":"  M-1 ","monto":100.50,)"
         R"("moneda":" bob ","imagen":"  iVBORw0KGgo=  ","montoConversion":"18.20",)"
         R"("monedaConversion":" usd ","qrExpiracion":" 2025-01-31 23:59 ","extra":[1,{"x":2}]})"),
      R"({"amount":"100.5","converted_amount":"18.2","converted_currency":"USD",)"
      R"("currency":"bob","detail":"ok","exchange_rate":"6.96","expires_at":"2025-01-31 23:59",)"
      R"("image_base64":"iVBORw0KGgo=","image_mime":"image/png","merchant_reference":"M-1",)"
      R"("raw_status":" success\n","reference":"987","status":"paid"})");
}

TEST(FxWire, into_qr_writes_absent_optionals_as_null_and_absent_currency_as_empty) {
  EXPECT_EQ(
      qr(R"({"codigoRespuesta":"PENDING","numeroReferencia":"  ABC  ","monto":7,)"
         R"("imagen":"/9j/4AAQ","moneda":"   ","detalleRespuesta":null,"montoConversion":null})"),
      R"({"amount":"7","converted_amount":null,"converted_currency":null,"currency":"",)"
      R"("detail":null,"exchange_rate":null,"expires_at":null,"image_base64":"/9j/4AAQ",)"
      R"("image_mime":"image/jpeg","merchant_reference":null,"raw_status":"PENDING",)"
      R"("reference":"ABC","status":"pending"})");
}

TEST(FxWire, into_qr_upper_cases_only_ascii_letters_of_the_converted_currency) {
  const string out = qr(R"({"codigoRespuesta":"x","numeroReferencia":"R","monto":1,)"
                        R"("imagen":"data:image/png;base64,iVBOR","monedaConversion":"usdé"})");
  EXPECT_NE(out.find(R"("converted_currency":"USDé")"), string::npos) << out;
  EXPECT_NE(out.find(R"("image_mime":"application/octet-stream")"), string::npos) << out;
  EXPECT_NE(out.find(R"("status":"unknown")"), string::npos) << out;
}

// ---- decoding of the wire records -------------------------------------------

struct ShapeCase {
  const char* body;
  bool decodes;
};

class GeneratedShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(GeneratedShape, members_have_their_json_types_and_unlisted_ones_are_ignored) {
  std::expected<Generated, std::string> wire = json::decode<Generated>(GetParam().body);
  EXPECT_EQ(wire.has_value(), GetParam().decodes) << (wire ? "" : wire.error());
}

INSTANTIATE_TEST_SUITE_P(
    FxWire, GeneratedShape,
    testing::Values(ShapeCase{R"({"codigoRespuesta":"SUCCESS"})", true},
                    ShapeCase{R"({"codigoRespuesta":0})", false},
                    ShapeCase{R"({"codigoRespuesta":null})", false},
                    ShapeCase{R"({"detalleRespuesta":"x"})", false},
                    ShapeCase{R"({"codigoRespuesta":"x","moneda":5})", false},
                    ShapeCase{R"({"codigoRespuesta":"x","imagen":true})", false},
                    ShapeCase{R"({"codigoRespuesta":"x","monto":"abc"})", false},
                    ShapeCase{R"({"codigoRespuesta":"x","monto":[1]})", false},
                    ShapeCase{R"({"codigoRespuesta":"x","monto":" 12.5 "})", true},
                    ShapeCase{R"({"codigoRespuesta":"x","numeroReferencia":[1]})", true},
                    ShapeCase{R"({"codigoRespuesta":"x","otro":[1,{"y":null}],"otro":3})", true},
                    ShapeCase{R"({"codigoRespuesta":"x","moneda":"BOB","moneda":"USD"})", false}));

TEST(FxWire, missing_status_code_names_the_member) {
  std::expected<Generated, std::string> wire = json::decode<Generated>(R"({"monto":1})");
  ASSERT_FALSE(wire);
  EXPECT_TRUE(wire.error().starts_with("missing field `codigoRespuesta`")) << wire.error();
}

// ---- Status::into_info ------------------------------------------------------

TEST(FxWire, into_info_without_data_falls_back_to_the_request_reference_as_passed) {
  const char* expected =
      R"({"amount":null,"converted_amount":null,"converted_currency":null,"currency":null,)"
      R"("detail":null,"exchange_rate":null,"raw_status":"PENDING","reference":" ref 1 ",)"
      R"("requested_at":null,"reversal":null,"status":"pending"})";
  EXPECT_EQ(info(R"({"codigoRespuesta":"PENDING"})", " ref 1 "), expected);
  EXPECT_EQ(info(R"({"codigoRespuesta":"PENDING","data":null})", " ref 1 "), expected);
}

TEST(FxWire, into_info_falls_back_when_the_answer_reference_is_blank_or_not_text) {
  for (const char* data : {R"({})", R"({"numeroReferencia":"  "})", R"({"numeroReferencia":false})",
                           R"({"numeroReferencia":null})"}) {
    const string out = info(string(R"({"codigoRespuesta":"PAID","data":)") + data + "}", "R-9");
    EXPECT_NE(out.find(R"("reference":"R-9")"), string::npos) << data << " -> " << out;
  }
}

TEST(FxWire, into_info_cleans_data_members_and_keeps_the_reversal_value) {
  EXPECT_EQ(
      info(R"({"codigoRespuesta":" Success ","detalleRespuesta":" hecho ","data":{)"
           R"("numeroReferencia":" 555 ","monto":"10.500","moneda":" usd ","montoConversion":72.1,)"
           R"("monedaConversion":"bob","tipoCambio":6.96,"reversa":{"b":2,"a":1.50},)"
           R"("fechaSolicitud":" 2025-01-01 "}})",
           "ignored"),
      R"({"amount":"10.5","converted_amount":"72.1","converted_currency":"BOB","currency":"usd",)"
      R"("detail":"hecho","exchange_rate":"6.96","raw_status":" Success ","reference":"555",)"
      R"("requested_at":"2025-01-01","reversal":{"a":1.50,"b":2},"status":"paid"})");
}

struct ReversalCase {
  const char* reversa;
  const char* written;
};

class Reversal : public testing::TestWithParam<ReversalCase> {};

TEST_P(Reversal, passes_any_json_value_unchanged_and_null_as_absent) {
  const string out =
      info(string(R"({"codigoRespuesta":"x","data":{"reversa":)") + GetParam().reversa + "}}", "R");
  EXPECT_NE(out.find(string(R"("reversal":)") + GetParam().written + ","), string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(FxWire, Reversal,
                         testing::Values(ReversalCase{"false", "false"},
                                         ReversalCase{"true", "true"}, ReversalCase{"null", "null"},
                                         ReversalCase{"0", "0"}, ReversalCase{R"("no")", R"("no")"},
                                         ReversalCase{"[1,null]", "[1,null]"},
                                         ReversalCase{R"({"k":"v"})", R"({"k":"v"})"}));

TEST(FxWire, status_data_must_be_an_object_or_null) {
  EXPECT_FALSE(json::decode<Status>(R"({"codigoRespuesta":"x","data":"none"})"));
  EXPECT_FALSE(json::decode<Status>(R"({"codigoRespuesta":"x","data":{"moneda":1}})"));
  EXPECT_FALSE(json::decode<Status>(R"({"codigoRespuesta":"x","data":{"monto":true}})"));
}

}  // namespace
