// The two webhook handlers: authentication first, FX notifications read
// leniently, Binance notifications read strictly and acknowledged.

#include "quorvex_bo/fx/webhook.hpp"

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

WebhookCall notice(string body, string header_value = "s3cret") {
  WebhookCall call;
  call.headers = {{"Content-Type", "application/json"},
                  {"X-Webhook-Token", std::move(header_value)}};
  call.body = std::move(body);
  call.key = "x-webhook-token";
  call.value = "s3cret";
  return call;
}

template <class H>
string handled(WebhookCall call) {
  Result<typename H::Output> out = H::handle(std::move(call));
  if (!out) return "error " + string(kind_name(out.error().kind)) + ": " + out.error().message;
  return json::write(to_json(std::move(*out)));
}
string fx(string body) { return handled<ParseFxWebhook>(notice(std::move(body))); }
string binance(string body) { return handled<ParseBinanceWebhook>(notice(std::move(body))); }

// ---- first_text -------------------------------------------------------------

struct FirstTextCase {
  const char* body;
  optional<string> expected;
};

class FirstText : public testing::TestWithParam<FirstTextCase> {};

TEST_P(FirstText, number_literal_or_trimmed_non_blank_string_in_name_order) {
  EXPECT_EQ(first_text(parsed(GetParam().body), {"codigoRespuesta", "estado"}),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    FxWebhook, FirstText,
    testing::Values(FirstTextCase{R"({"codigoRespuesta":" 00 ","estado":"PAGADO"})", "00"},
                    FirstTextCase{R"({"codigoRespuesta":"  ","estado":" EXPIRADO "})", "EXPIRADO"},
                    FirstTextCase{R"({"codigoRespuesta":0,"estado":"PAGADO"})", "0"},
                    FirstTextCase{R"({"codigoRespuesta":1.50})", "1.50"},
                    FirstTextCase{R"({"codigoRespuesta":null,"estado":true})", nullopt},
                    FirstTextCase{R"({"codigoRespuesta":["PAID"],"estado":{"a":"PAID"}})", nullopt},
                    FirstTextCase{R"({"codigoRespuesta":false,"estado":"\u00a0PAID\u2003"})",
                                  "PAID"},
                    FirstTextCase{R"({"Estado":"PAID"})", nullopt},
                    FirstTextCase{R"(["PAID"])", nullopt}, FirstTextCase{R"("PAID")", nullopt},
                    FirstTextCase{"null", nullopt}));

// ---- notification amount ----------------------------------------------------

struct AmountCase {
  const char* body;
  optional<string> expected;  // normalized plain text
};

class NotificationAmount : public testing::TestWithParam<AmountCase> {};

TEST_P(NotificationAmount, reads_monto_then_importe_and_never_fails) {
  optional<Amount> out = notification_amount(parsed(GetParam().body));
  EXPECT_EQ(out ? optional<string>(out->normalized().plain_text()) : nullopt, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    FxWebhook, NotificationAmount,
    testing::Values(AmountCase{R"({"monto":10.50})", "10.5"},
                    AmountCase{R"({"monto":"10.50","importe":3})", "10.5"},
                    AmountCase{R"({"monto":"abc","importe":5})", "5"},
                    AmountCase{R"({"monto":" 5 "})", nullopt},
                    AmountCase{R"({"monto":" 5 ","importe":"7"})", "7"},
                    AmountCase{R"({"monto":"1e2"})", "100"}, AmountCase{R"({"monto":1E2})", "100"},
                    AmountCase{R"({"importe":"1.5e2"})", "150"},
                    AmountCase{R"({"monto":"25E-1"})", "2.5"},
                    AmountCase{R"({"monto":"-3"})", "-3"}, AmountCase{R"({"monto":"1e"})", nullopt},
                    AmountCase{R"({"monto":"e5"})", nullopt},
                    AmountCase{R"({"monto":"1e99999"})", nullopt},
                    AmountCase{R"({"monto":""})", nullopt},
                    AmountCase{R"({"monto":true,"importe":null})", nullopt},
                    AmountCase{R"({"monto":{"v":1},"importe":[1]})", nullopt},
                    AmountCase{R"([{"monto":1}])", nullopt}, AmountCase{"5", nullopt}));

// ---- notification status ----------------------------------------------------

struct StatusCase {
  optional<string> raw;
  PaymentStatus expected;
};

class NotificationStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(NotificationStatus, double_zero_then_english_then_spanish) {
  EXPECT_EQ(notification_status(GetParam().raw), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    FxWebhook, NotificationStatus,
    testing::Values(
        StatusCase{nullopt, PaymentStatus::unknown}, StatusCase{"00", PaymentStatus::paid},
        StatusCase{" 00\n", PaymentStatus::paid}, StatusCase{"0", PaymentStatus::unknown},
        StatusCase{"000", PaymentStatus::unknown}, StatusCase{"", PaymentStatus::unknown},
        StatusCase{"SUCCESS", PaymentStatus::paid}, StatusCase{" pending ", PaymentStatus::pending},
        StatusCase{"CANCELADO", PaymentStatus::cancelled},
        StatusCase{"Pagado", PaymentStatus::paid}, StatusCase{"EXPIRADO", PaymentStatus::expired},
        StatusCase{"ERROR", PaymentStatus::error}, StatusCase{"CANCELED", PaymentStatus::unknown}));

// ---- ParseFxWebhook ---------------------------------------------------------

struct FxCase {
  const char* body;
  const char* expected;
};

class FxNotificationBody : public testing::TestWithParam<FxCase> {};

TEST_P(FxNotificationBody, is_read_leniently_into_the_whole_record) {
  EXPECT_EQ(fx(GetParam().body), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    FxWebhook, FxNotificationBody,
    testing::Values(
        FxCase{
            R"({"numeroReferencia":123,"estado":"PAGADO","importe":"10.50"})",
            R"({"amount":"10.5","currency":null,"payload":{"estado":"PAGADO","importe":"10.50",)"
            R"("numeroReferencia":123},"raw_status":"PAGADO","reference":"123","status":"paid"})"},
        FxCase{
            R"({"codigoRespuesta":0,"monto":1.50,"moneda":" bob "})",
            R"({"amount":"1.5","currency":"bob","payload":{"codigoRespuesta":0,"moneda":" bob ",)"
            R"("monto":1.50},"raw_status":"0","reference":null,"status":"unknown"})"},
        FxCase{
            R"({"codigoRespuesta":"  ","estado":"EXPIRADO"})",
            R"({"amount":null,"currency":null,"payload":{"codigoRespuesta":"  ",)"
            R"("estado":"EXPIRADO"},"raw_status":"EXPIRADO","reference":null,"status":"expired"})"},
        FxCase{R"({"codigoRespuesta":"00"})",
               R"({"amount":null,"currency":null,"payload":{"codigoRespuesta":"00"},)"
               R"("raw_status":"00","reference":null,"status":"paid"})"},
        FxCase{R"({"codigoRespuesta":"SUCCESS","estado":"CANCELADO"})",
               R"({"amount":null,"currency":null,"payload":{"codigoRespuesta":"SUCCESS",)"
               R"("estado":"CANCELADO"},"raw_status":"SUCCESS","reference":null,"status":"paid"})"},
        FxCase{R"({"estado":"cancelado"})",
               R"({"amount":null,"currency":null,"payload":{"estado":"cancelado"},)"
               R"("raw_status":"cancelado","reference":null,"status":"cancelled"})"},
        FxCase{R"({})", R"({"amount":null,"currency":null,"payload":{},"raw_status":null,)"
                        R"("reference":null,"status":"unknown"})"},
        FxCase{R"( [{"codigoRespuesta":"00"}] )",
               R"({"amount":null,"currency":null,"payload":[{"codigoRespuesta":"00"}],)"
               R"("raw_status":null,"reference":null,"status":"unknown"})"},
        FxCase{"null", R"({"amount":null,"currency":null,"payload":null,"raw_status":null,)"
                       R"("reference":null,"status":"unknown"})"},
        FxCase{"12.0", R"({"amount":null,"currency":null,"payload":12.0,"raw_status":null,)"
                       R"("reference":null,"status":"unknown"})"},
        // a repeated member: the last occurrence is read and written
        FxCase{
            R"({"numeroReferencia":"A","estado":"PAGADO","numeroReferencia":"B"})",
            R"({"amount":null,"currency":null,"payload":{"estado":"PAGADO",)"
            R"("numeroReferencia":"B"},"raw_status":"PAGADO","reference":"B","status":"paid"})"}));

struct RejectCase {
  const char* body;
  const char* prefix;
};

class FxRejected : public testing::TestWithParam<RejectCase> {};

TEST_P(FxRejected, body_that_is_not_one_json_value_is_a_decode_error) {
  const string out = fx(GetParam().body);
  EXPECT_TRUE(out.starts_with(GetParam().prefix)) << out;
  EXPECT_NE(out.find(" at line "), string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    FxWebhook, FxRejected,
    testing::Values(RejectCase{"", "error decode: invalid webhook payload: "},
                    RejectCase{"{", "error decode: invalid webhook payload: "},
                    RejectCase{"{} {}", "error decode: invalid webhook payload: trailing"},
                    RejectCase{"{\"a\":1}x", "error decode: invalid webhook payload: trailing"},
                    RejectCase{"PAGADO", "error decode: invalid webhook payload: "}));

TEST(FxWebhook, authentication_comes_before_the_body) {
  for (const char* body : {"{", "not json", R"({"codigoRespuesta":"00"})"}) {
    EXPECT_EQ(handled<ParseFxWebhook>(notice(body, "s3cret ")),
              "error webhook_auth: `x-webhook-token` header does not match");
    EXPECT_EQ(handled<ParseBinanceWebhook>(notice(body, "S3CRET")),
              "error webhook_auth: `x-webhook-token` header does not match");
  }
  WebhookCall missing = notice("{");
  missing.headers.erase("X-Webhook-Token");
  EXPECT_EQ(handled<ParseFxWebhook>(missing),
            "error webhook_auth: missing `x-webhook-token` header");
  EXPECT_EQ(handled<ParseBinanceWebhook>(missing),
            "error webhook_auth: missing `x-webhook-token` header");
  WebhookCall empty_expected = notice("{");
  empty_expected.value.clear();
  EXPECT_EQ(handled<ParseBinanceWebhook>(empty_expected),
            "error validation: expected webhook header value must not be empty");
}

// ---- ParseBinanceWebhook ----------------------------------------------------

TEST(FxWebhook, binance_full_notification_is_cleaned_and_acknowledged) {
  EXPECT_EQ(
      binance(R"({"numeroReferencia":"  88001 ","estado":" 00 ","otro":[1],"transacciones":{)"
              R"("monto":"150.500","moneda":" usdt ","fechaHoraTransaccion":" 2025-04-01 12:00 ",)"
              R"("cliente":{"nombreCliente":" Ana Pérez ","ciCliente":"  "}}})"),
      R"({"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"88001"},)"
      R"("amount":"150.5","currency":"usdt","payer_document_id":null,"payer_name":"Ana Pérez",)"
      R"("raw_status":" 00 ","reference":"88001","status":"paid",)"
      R"("transaction_at":"2025-04-01 12:00"})");
}

TEST(FxWebhook, binance_without_transaction_has_null_details_and_still_an_ack) {
  const char* expected =
      R"({"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"77"},)"
      R"("amount":null,"currency":null,"payer_document_id":null,"payer_name":null,)"
      R"("raw_status":"PAGADO","reference":"77","status":"paid","transaction_at":null})";
  EXPECT_EQ(binance(R"({"numeroReferencia":77,"estado":"PAGADO"})"), expected);
  EXPECT_EQ(binance(R"({"numeroReferencia":77,"estado":"PAGADO","transacciones":null})"), expected);
  // The array form of the record, fields in declaration order.
  EXPECT_EQ(binance(R"([77,"PAGADO",null])"), expected);
}

TEST(FxWebhook, binance_transaction_without_client_has_no_payer) {
  EXPECT_EQ(binance(R"({"numeroReferencia":"R","estado":"EXPIRED","transacciones":{"monto":-1}})"),
            R"({"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"R"},)"
            R"("amount":"-1","currency":null,"payer_document_id":null,"payer_name":null,)"
            R"("raw_status":"EXPIRED","reference":"R","status":"expired","transaction_at":null})");
}

class BinanceNoReference : public testing::TestWithParam<const char*> {};

TEST_P(BinanceNoReference, null_blank_or_non_text_reference_is_refused_after_decoding) {
  EXPECT_EQ(binance(string(R"({"estado":"PAGADO","numeroReferencia":)") + GetParam() + "}"),
            "error decode: Binance webhook has no `numeroReferencia`");
}

INSTANTIATE_TEST_SUITE_P(FxWebhook, BinanceNoReference,
                         testing::Values("null", R"("")", R"("  \t ")", R"("\u3000")", "true",
                                         "[1]", R"({"n":"1"})"));

struct BinanceBadCase {
  const char* body;
  const char* prefix;
};

class BinanceUndecodable : public testing::TestWithParam<BinanceBadCase> {};

TEST_P(BinanceUndecodable, is_a_decode_error_with_the_library_message) {
  const string out = binance(GetParam().body);
  EXPECT_TRUE(out.starts_with(GetParam().prefix)) << out;
}

INSTANTIATE_TEST_SUITE_P(
    FxWebhook, BinanceUndecodable,
    testing::Values(
        BinanceBadCase{R"({"estado":"PAGADO"})",
                       "error decode: invalid Binance webhook payload: missing field "
                       "`numeroReferencia` at line 1 column "},
        BinanceBadCase{R"({"numeroReferencia":"1"})",
                       "error decode: invalid Binance webhook payload: missing field `estado`"},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A","estado":"B"})",
                       "error decode: invalid Binance webhook payload: duplicate field `estado`"},
        BinanceBadCase{R"({"numeroReferencia":"1","numeroReferencia":"1","estado":"A"})",
                       "error decode: invalid Binance webhook payload: duplicate field "
                       "`numeroReferencia`"},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A","transacciones":{"moneda":"BOB",)"
                       R"("moneda":"USD"}})",
                       "error decode: invalid Binance webhook payload: duplicate field `moneda`"},
        BinanceBadCase{
            R"({"numeroReferencia":"1","estado":"A","transacciones":{"cliente":)"
            R"({"ciCliente":"1","ciCliente":"2"}}})",
            "error decode: invalid Binance webhook payload: duplicate field `ciCliente`"},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A","transacciones":[{"monto":1}]})",
                       "error decode: invalid Binance webhook payload: "},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A","transacciones":[{"monto":1},)"
                       R"({"monto":2},{"monto":3},{"monto":4}]})",
                       "error decode: invalid Binance webhook payload: "},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":0})",
                       "error decode: invalid Binance webhook payload: "},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":null})",
                       "error decode: invalid Binance webhook payload: "},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A","transacciones":{"monto":"abc"}})",
                       "error decode: invalid Binance webhook payload: invalid amount `abc`"},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A","transacciones":{"moneda":5}})",
                       "error decode: invalid Binance webhook payload: "},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A","transacciones":{"cliente":)"
                       R"({"nombreCliente":true}}})",
                       "error decode: invalid Binance webhook payload: "},
        BinanceBadCase{"[]", "error decode: invalid Binance webhook payload: invalid length 0"},
        BinanceBadCase{"null", "error decode: invalid Binance webhook payload: "},
        BinanceBadCase{R"({"numeroReferencia":"1","estado":"A"} x)",
                       "error decode: invalid Binance webhook payload: trailing"}));

TEST(FxWebhook, binance_ignores_repeated_members_it_does_not_read) {
  const string out = binance(R"({"numeroReferencia":"5","x":1,"x":[2],"estado":"PENDIENTE",)"
                             R"("transacciones":{"y":0,"y":1,"moneda":"BOB"}})");
  EXPECT_NE(out.find(R"("status":"pending")"), string::npos) << out;
  EXPECT_NE(out.find(R"("currency":"BOB")"), string::npos) << out;
}

}  // namespace
