// Decoding of the gateway's generation and status answers and their conversion
// into the result records.

#include "quorvex_bo/fx/wire.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "quorvex_bo/core/json.hpp"

namespace {

using namespace quorvex_bo;
using namespace quorvex_bo::fx;
using std::nullopt;
using std::optional;
using std::string;

// The generation answer through into_qr: the written record or the error.
string qr(std::string_view body) {
  std::expected<Generated, string> wire = json::decode<Generated>(body);
  if (!wire) return "decode failed: " + wire.error();
  Result<FxQr> out = std::move(*wire).into_qr();
  if (!out) return "error " + string(kind_name(out.error().kind)) + ": " + out.error().message;
  return json::to_text(*out);
}

string info(std::string_view body, string reference) {
  std::expected<Status, string> wire = json::decode<Status>(body);
  if (!wire) return "decode failed: " + wire.error();
  return json::to_text(std::move(*wire).into_info(std::move(reference)));
}

TEST(FxWire, opt_text_keeps_strings_as_received_and_numbers_as_literal_text) {
  const std::pair<const char*, optional<string>> cases[] = {
      {R"("  ABC  ")", "  ABC  "}, {"1.50", "1.50"}, {"-0.0E+2", "-0.0E+2"},
      {"null", nullopt},           {"false", nullopt}, {"[1]", nullopt}, {R"({"a":"b"})", nullopt}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(wire::opt_text(json::parse(text).value()), expected) << text;
    // the record reader follows the same rule
    EXPECT_EQ(wire::read_opt_text(json::parse(text).value()).value_or("<fails>"), expected) << text;
  }
}

TEST(FxWire, non_empty_trims_unicode_white_space_and_drops_blank_text) {
  const std::pair<optional<string>, optional<string>> cases[] = {
      {nullopt, nullopt}, {" \t\r\n ", nullopt}, {"  a b  ", "a b"}, {"\u00a0x\u3000", "x"},
      {"\u2003\u2028", nullopt}, {"\u0085y\u202f", "y"}, {"\u200b", "\u200b"}};  // ZWSP is no space
  for (const auto& [in, expected] : cases) EXPECT_EQ(wire::non_empty(in), expected);
  string image = "  " + string(1 << 20, 'A') + "\n";
  const char* const storage = image.data();
  optional<string> out = wire::non_empty(std::move(image));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), std::size_t{1} << 20);
  EXPECT_EQ(out->data(), storage);  // a large image is trimmed in place, never copied
}

TEST(FxWire, image_mime_is_chosen_case_sensitively_from_the_base64_start) {
  const std::pair<const char*, const char*> cases[] = {
      {"iVBOR", "image/png"}, {"iVBO", "application/octet-stream"},
      {"ivborw0KGgo", "application/octet-stream"}, {"/9j/", "image/jpeg"},
      {"/9j", "application/octet-stream"}, {"", "application/octet-stream"},
      {"data:image/png;base64,iVBORw0KGgo=", "application/octet-stream"}};
  for (const auto& [image, mime] : cases) EXPECT_EQ(wire::image_mime(image), mime) << image;
}

TEST(FxWire, into_qr_checks_reference_then_image_then_amount) {
  const string ok = R"({"codigoRespuesta":"SUCCESS",)";
  const std::pair<string, string> cases[] = {
      {ok + R"("monto":1})", "numeroReferencia"},
      {ok + R"("numeroReferencia":"  ","imagen":"iVBOR","monto":1})", "numeroReferencia"},
      {ok + R"("numeroReferencia":true,"imagen":"iVBOR","monto":1})", "numeroReferencia"},
      {ok + R"("numeroReferencia":{"a":1},"imagen":"iVBOR","monto":1})", "numeroReferencia"},
      {ok + R"("numeroReferencia":"R1"})", "imagen"},
      {ok + R"("numeroReferencia":"R1","imagen":"\u3000\n","monto":1})", "imagen"},
      {ok + R"("numeroReferencia":"R1","imagen":"iVBOR","monto":null})", "monto"}};
  for (const auto& [body, member] : cases)
    EXPECT_EQ(qr(body), "error decode: generation response has no `" + member + "`") << body;
}

TEST(FxWire, into_qr_cleans_every_member_and_keeps_the_raw_status) {
  EXPECT_EQ(
      qr(R"({"tipoCambio":6.9600,"codigoRespuesta":" success\n","detalleRespuesta":"  ok  ",)"
         R"("numeroReferencia":987,"origenNumeroReferencia":"  M-1 ","monto":100.50,)"
         R"("moneda":" bob ","imagen":"  iVBORw0KGgo=  ","montoConversion":"18.20",)"
         R"("monedaConversion":" usdé ","qrExpiracion":" 2025-01-31 23:59 ","x":[1,{"x":2}]})"),
      R"({"amount":"100.5","converted_amount":"18.2","converted_currency":"USDé",)"
      R"("currency":"bob","detail":"ok","exchange_rate":"6.96","expires_at":"2025-01-31 23:59",)"
      R"("image_base64":"iVBORw0KGgo=","image_mime":"image/png","merchant_reference":"M-1",)"
      R"("raw_status":" success\n","reference":"987","status":"paid"})");
  EXPECT_EQ(
      qr(R"({"codigoRespuesta":"PENDING","numeroReferencia":"  ABC  ","monto":7,)"
         R"("imagen":"/9j/4AAQ","moneda":"   ","detalleRespuesta":null,"montoConversion":null})"),
      R"({"amount":"7","converted_amount":null,"converted_currency":null,"currency":"",)"
      R"("detail":null,"exchange_rate":null,"expires_at":null,"image_base64":"/9j/4AAQ",)"
      R"("image_mime":"image/jpeg","merchant_reference":null,"raw_status":"PENDING",)"
      R"("reference":"ABC","status":"pending"})");
}

TEST(FxWire, generated_members_have_their_json_types_and_unlisted_ones_are_ignored) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"codigoRespuesta":0})", false},
      {R"({"codigoRespuesta":"x","moneda":5})", false},
      {R"({"codigoRespuesta":"x","monto":"abc"})", false},
      {R"({"codigoRespuesta":"x","moneda":"BOB","moneda":"USD"})", false},
      {R"({"codigoRespuesta":"x","numeroReferencia":[1]})", true},
      {R"({"codigoRespuesta":"x","otro":[1,{"y":null}],"otro":3})", true}};
  for (const auto& [body, decodes] : cases)
    EXPECT_EQ(json::decode<Generated>(body).has_value(), decodes) << body;
  EXPECT_FALSE(json::decode<Status>(R"({"codigoRespuesta":"x","data":"none"})"));
  auto missing = json::decode<Generated>(R"({"monto":1})");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().starts_with("missing field `codigoRespuesta`")) << missing.error();
}

TEST(FxWire, into_info_falls_back_to_the_request_reference_as_passed) {
  const char* expected =
      R"({"amount":null,"converted_amount":null,"converted_currency":null,"currency":null,)"
      R"("detail":null,"exchange_rate":null,"raw_status":"PENDING","reference":" ref 1 ",)"
      R"("requested_at":null,"reversal":null,"status":"pending"})";
  EXPECT_EQ(info(R"({"codigoRespuesta":"PENDING"})", " ref 1 "), expected);
  EXPECT_EQ(info(R"({"codigoRespuesta":"PENDING","data":null})", " ref 1 "), expected);
  EXPECT_EQ(info(R"({"codigoRespuesta":"PENDING","data":{"numeroReferencia":" ","reversa":null}})",
                 " ref 1 "), expected);
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
  const string out = info(R"({"codigoRespuesta":"x","data":{"reversa":false}})", "R");
  EXPECT_NE(out.find(R"("reversal":false,)"), string::npos) << out;
}

}  // namespace
