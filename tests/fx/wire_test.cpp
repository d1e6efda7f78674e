// The gateway's answers into result records: the order of the checks and the
// cleaning rules. Whole records are in the end-to-end stories.
#include "quorvex_bo/fx/wire.hpp"

#include <gtest/gtest.h>

namespace {

using namespace quorvex_bo;
using namespace quorvex_bo::fx;
using std::string;

string qr(std::string_view body) {
  FxQr out{};
  std::optional<Error> error = json::decode<Generated>(body).value().into_qr(out);
  return error ? error->message : json::to_text(out);
}

string info(std::string_view body, string reference) {
  FxStatusInfo out{};
  json::decode<Status>(body).value().into_info(std::move(reference), out);
  return json::to_text(out);
}

TEST(FxWire, text_and_image_helpers) {
  const std::pair<const char*, const char*> texts[] = {
      {R"(" A ")", " A "}, {"-0.0E+2", "-0.0E+2"}, {"null", "-"}, {"[1]", "-"}};
  for (const auto& [text, expected] : texts)
    EXPECT_EQ(wire::opt_text(json::parse(text).value()).value_or("-"), expected);
  const std::pair<const char*, const char*> mimes[] = {
      {"iVBOR", "image/png"}, {"iVBO", "application/octet-stream"},
      {"/9j/", "image/jpeg"}, {"/9j", "application/octet-stream"}};
  for (const auto& [image, mime] : mimes) EXPECT_EQ(wire::image_mime(image), mime) << image;
}

TEST(FxWire, into_qr_checks_reference_then_image_then_amount) {
  const string ok = R"({"codigoRespuesta":"SUCCESS",)";
  const std::pair<string, string> cases[] = {
      {ok + R"("monto":1})", "numeroReferencia"},
      {ok + R"("numeroReferencia":true,"imagen":"iVBOR","monto":1})", "numeroReferencia"},
      {ok + R"("numeroReferencia":"R1"})", "imagen"},
      {ok + R"("numeroReferencia":"R1","imagen":"\u3000\n","monto":1})", "imagen"},
      {ok + R"("numeroReferencia":"R1","imagen":"iVBOR","monto":null})", "monto"}};
  for (const auto& [body, member] : cases)
    EXPECT_EQ(qr(body), "generation response has no `" + member + "`") << body;
}

TEST(FxWire, into_info_falls_back_to_the_request_reference_as_passed) {
  const string none = R"({"amount":null,"converted_amount":null,"converted_currency":null,)"
                      R"("currency":null,"detail":null,"exchange_rate":null,"raw_status":"x",)";
  EXPECT_EQ(info(R"({"codigoRespuesta":"x","data":{"numeroReferencia":" "}})", " ref 1 "),
            none + R"("reference":" ref 1 ","requested_at":null,"reversal":null,"status":"unknown"})");
  EXPECT_EQ(info(R"({"codigoRespuesta":"x","data":{"reversa":false,"monedaConversion":" usd "}})", "R"),
            R"({"amount":null,"converted_amount":null,"converted_currency":"USD",)"
            R"("currency":null,"detail":null,"exchange_rate":null,"raw_status":"x","reference":"R",)"
            R"("requested_at":null,"reversal":false,"status":"unknown"})");
}

}  // namespace
