// The two webhook handlers: authentication first, FX notifications read
// leniently, Binance notifications read strictly and acknowledged.

#include "quorvex_bo/fx/webhook.hpp"

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

json::Value parsed(std::string_view text) {
  std::expected<json::Value, string> value = json::parse(text);
  EXPECT_TRUE(value) << value.error();
  return value ? std::move(*value) : json::Value();
}

WebhookCall notice(string body, string header_value = "s3cret") {
  WebhookCall call;
  call.headers = {{"X-Webhook-Token", std::move(header_value)}};
  call.body = std::move(body);
  call.key = "x-webhook-token";
  call.value = "s3cret";
  return call;
}

// The written record, or "error <kind>: <message>".
template <class H>
string handled(WebhookCall call) {
  Result<typename H::Output> out = H::handle(std::move(call));
  if (!out) return "error " + string(kind_name(out.error().kind)) + ": " + out.error().message;
  return json::to_text(*out);
}
string fx(string body) { return handled<ParseFxWebhook>(notice(std::move(body))); }
string binance(string body) { return handled<ParseBinanceWebhook>(notice(std::move(body))); }

TEST(FxWebhook, amount_is_monto_then_importe_and_never_an_error) {
  const std::pair<const char*, optional<string>> cases[] = {
      {R"({"monto":"10.50","importe":3})", "10.5"}, {R"({"monto":"abc","importe":5})", "5"},
      {R"({"monto":" 5 "})", nullopt},              {R"({"monto":" 5 ","importe":"7"})", "7"},
      {R"({"monto":1E2})", "100"},                  {R"({"importe":"25E-1"})", "2.5"},
      {R"({"monto":"1e"})", nullopt},               {R"({"monto":"1e99999"})", nullopt},
      {R"({"monto":true,"importe":[1]})", nullopt}, {R"([{"monto":1}])", nullopt}};
  for (const auto& [body, expected] : cases) {
    optional<Amount> out = notification_amount(parsed(body));
    EXPECT_EQ(out ? optional<string>(out->normalized().plain_text()) : nullopt, expected) << body;
  }
}

TEST(FxWebhook, status_is_double_zero_then_english_then_spanish_words) {
  using enum PaymentStatus;
  const std::pair<optional<string>, PaymentStatus> cases[] = {
      {nullopt, unknown}, {" 00\n", paid}, {"0", unknown}, {"000", unknown},
      {"SUCCESS", paid},  {"CANCELADO", cancelled}};
  for (const auto& [raw, status] : cases)
    EXPECT_EQ(notification_status(raw), status) << raw.value_or("<absent>");
}

TEST(FxWebhook, fx_body_is_read_leniently_into_the_whole_record) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"numeroReferencia":123,"estado":"PAGADO","importe":"10.50"})",
       R"({"amount":"10.5","currency":null,"payload":{"estado":"PAGADO","importe":"10.50",)"
       R"("numeroReferencia":123},"raw_status":"PAGADO","reference":"123","status":"paid"})"},
      {R"({"codigoRespuesta":0,"monto":1.50,"moneda":" bob "})",
       R"({"amount":"1.5","currency":"bob","payload":{"codigoRespuesta":0,"moneda":" bob ",)"
       R"("monto":1.50},"raw_status":"0","reference":null,"status":"unknown"})"},
      {R"({"codigoRespuesta":"  ","estado":"EXPIRADO"})",
       R"({"amount":null,"currency":null,"payload":{"codigoRespuesta":"  ","estado":"EXPIRADO"},)"
       R"("raw_status":"EXPIRADO","reference":null,"status":"expired"})"},
      {R"( [{"codigoRespuesta":"00"}] )",
       R"({"amount":null,"currency":null,"payload":[{"codigoRespuesta":"00"}],)"
       R"("raw_status":null,"reference":null,"status":"unknown"})"},
      // text members skip non-text values and are trimmed of Unicode white space
      {R"({"codigoRespuesta":true,"estado":"\u00a0PAGADO\u2003","numeroReferencia":[1]})",
       R"({"amount":null,"currency":null,"payload":{"codigoRespuesta":true,"estado":")"
       "\u00a0PAGADO\u2003"
       R"(","numeroReferencia":[1]},"raw_status":"PAGADO","reference":null,"status":"paid"})"},
      // a repeated member: the last occurrence is read and written
      {R"({"numeroReferencia":"A","estado":"PAGADO","numeroReferencia":"B"})",
       R"({"amount":null,"currency":null,"payload":{"estado":"PAGADO","numeroReferencia":"B"},)"
       R"("raw_status":"PAGADO","reference":"B","status":"paid"})"}};
  for (const auto& [body, expected] : cases) EXPECT_EQ(fx(body), expected);
  for (const char* body : {"", "{} {}", "PAGADO"}) {
    const string out = fx(body);
    EXPECT_TRUE(out.starts_with("error decode: invalid webhook payload: ")) << out;
    EXPECT_NE(out.find(" at line "), string::npos) << out;
  }
}

TEST(FxWebhook, authentication_comes_before_the_body) {
  const string mismatch = "error webhook_auth: `x-webhook-token` header does not match";
  for (const char* body : {"{", R"({"codigoRespuesta":"00"})"}) {
    EXPECT_EQ(handled<ParseFxWebhook>(notice(body, "s3cret ")), mismatch);
    EXPECT_EQ(handled<ParseBinanceWebhook>(notice(body, "S3CRET")), mismatch);
  }
  WebhookCall missing = notice("{");
  missing.headers.erase("X-Webhook-Token");
  const string absent = "error webhook_auth: missing `x-webhook-token` header";
  EXPECT_EQ(handled<ParseFxWebhook>(missing), absent);
  EXPECT_EQ(handled<ParseBinanceWebhook>(std::move(missing)), absent);
}

TEST(FxWebhook, binance_notification_is_cleaned_and_acknowledged) {
  EXPECT_EQ(
      binance(R"({"numeroReferencia":"  88001 ","estado":" 00 ","otro":[1],"transacciones":{)"
              R"("monto":"150.500","moneda":" usdt ","fechaHoraTransaccion":" 2025-04-01 12:00 ",)"
              R"("cliente":{"nombreCliente":" Ana Pérez ","ciCliente":"  "}}})"),
      R"({"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"88001"},)"
      R"("amount":"150.5","currency":"usdt","payer_document_id":null,"payer_name":"Ana Pérez",)"
      R"("raw_status":" 00 ","reference":"88001","status":"paid",)"
      R"("transaction_at":"2025-04-01 12:00"})");
  const char* without_transaction =
      R"({"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"77"},)"
      R"("amount":null,"currency":null,"payer_document_id":null,"payer_name":null,)"
      R"("raw_status":"PAGADO","reference":"77","status":"paid","transaction_at":null})";
  EXPECT_EQ(binance(R"({"numeroReferencia":77,"estado":"PAGADO"})"), without_transaction);
  EXPECT_EQ(binance(R"({"numeroReferencia":77,"estado":"PAGADO","transacciones":null})"),
            without_transaction);
}

TEST(FxWebhook, binance_reference_that_is_null_blank_or_not_text_is_refused) {
  for (const char* reference : {"null", R"("")", R"("\u3000 ")", "true", "[1]"}) {
    EXPECT_EQ(binance(string(R"({"estado":"PAGADO","numeroReferencia":)") + reference + "}"),
              "error decode: Binance webhook has no `numeroReferencia`");
  }
}

TEST(FxWebhook, binance_body_is_decoded_strictly) {
  const string prefix = "error decode: invalid Binance webhook payload: ";
  const std::pair<const char*, string> cases[] = {
      {R"({"estado":"PAGADO"})", "missing field `numeroReferencia` at line 1 column "},
      {R"({"numeroReferencia":"1","estado":"A","estado":"B"})", "duplicate field `estado`"},
      {R"({"numeroReferencia":"1","estado":"A","transacciones":{"cliente":)"
       R"({"ciCliente":"1","ciCliente":"2"}}})", "duplicate field `ciCliente`"},
      {R"({"numeroReferencia":"1","estado":"A","transacciones":[{"monto":1}]})", ""},
      {R"({"numeroReferencia":"1","estado":0})", ""},
      {R"({"numeroReferencia":"1","estado":"A","transacciones":{"monto":"abc"}})",
       "invalid amount `abc`"},
      {R"({"numeroReferencia":"1","estado":"A","transacciones":{"moneda":5}})", ""},
      {"null", ""}};
  for (const auto& [body, message] : cases) {
    const string out = binance(body);
    EXPECT_TRUE(out.starts_with(prefix + message)) << out;
  }
  // members it does not read may repeat, at any depth
  const string out = binance(R"({"numeroReferencia":"5","x":1,"x":[2],"estado":"PENDIENTE",)"
                             R"("transacciones":{"y":0,"y":1,"moneda":"BOB"}})");
  EXPECT_NE(out.find(R"("currency":"BOB")"), string::npos) << out;
  EXPECT_NE(out.find(R"("status":"pending")"), string::npos) << out;
}

}  // namespace
