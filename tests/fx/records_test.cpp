// The JSON form of the result records: every member present and sorted, null
// when absent, amounts as normalized text.

#include <gtest/gtest.h>

#include <string>

#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/fx/model.hpp"

namespace {

using namespace quorvex_bo;
using namespace quorvex_bo::fx;

Amount amt(std::string_view text) {
  std::optional<Amount> out = amount::parse_plain(text);
  EXPECT_TRUE(out) << text;
  return out.value_or(Amount{});
}

json::Value parsed(std::string_view text) {
  std::expected<json::Value, std::string> value = json::parse(text);
  EXPECT_TRUE(value) << value.error();
  return value ? std::move(*value) : json::Value();
}

template <class R>
std::string written(R record) {
  return json::write(to_json(std::move(record)));
}

TEST(FxRecords, qr_writes_every_member_with_null_for_absent_and_empty_currency_as_text) {
  FxQr qr;
  qr.reference = "R1";
  qr.amount = amt("100.00");
  qr.raw_status = "PENDING";
  qr.status = PaymentStatus::pending;
  qr.image_base64 = "iVBOR";
  qr.image_mime = "image/png";
  EXPECT_EQ(written(std::move(qr)),
            R"({"amount":"100","converted_amount":null,"converted_currency":null,"currency":"",)"
            R"("detail":null,"exchange_rate":null,"expires_at":null,"image_base64":"iVBOR",)"
            R"("image_mime":"image/png","merchant_reference":null,"raw_status":"PENDING",)"
            R"("reference":"R1","status":"pending"})");
}

TEST(FxRecords, qr_writes_amounts_normalized_as_json_text) {
  FxQr qr{.reference = "R2",
          .amount = amt("100.50"),
          .currency = "BOB",
          .merchant_reference = "M",
          .status = PaymentStatus::paid,
          .raw_status = " success ",
          .detail = "d\"q",
          .converted_amount = amt("0.010"),
          .converted_currency = "USD",
          .exchange_rate = amt("6.9600"),
          .expires_at = "2025-01-01T00:00:00",
          .image_base64 = "/9j/",
          .image_mime = "image/jpeg"};
  EXPECT_EQ(
      written(std::move(qr)),
      R"({"amount":"100.5","converted_amount":"0.01","converted_currency":"USD",)"
      R"("currency":"BOB","detail":"d\"q","exchange_rate":"6.96",)"
      R"("expires_at":"2025-01-01T00:00:00","image_base64":"/9j/","image_mime":"image/jpeg",)"
      R"("merchant_reference":"M","raw_status":" success ","reference":"R2","status":"paid"})");
}

TEST(FxRecords, status_info_writes_absent_currency_as_null) {
  FxStatusInfo info;
  info.reference = "R3";
  info.raw_status = "";
  EXPECT_EQ(written(std::move(info)),
            R"({"amount":null,"converted_amount":null,"converted_currency":null,"currency":null,)"
            R"("detail":null,"exchange_rate":null,"raw_status":"","reference":"R3",)"
            R"("requested_at":null,"reversal":null,"status":"unknown"})");
}

TEST(FxRecords, status_info_writes_the_reversal_as_a_value_with_sorted_members) {
  FxStatusInfo info{.reference = "R4",
                    .status = PaymentStatus::cancelled,
                    .raw_status = "CANCELLED",
                    .detail = "x",
                    .amount = amt("7"),
                    .currency = "BOB",
                    .converted_amount = amt("1.0"),
                    .converted_currency = "USD",
                    .exchange_rate = amt("6.96"),
                    .reversal = parsed(R"({"z":[1.50,"t"],"a":{"n":null}})"),
                    .requested_at = "2025-02-02"};
  EXPECT_EQ(written(std::move(info)),
            R"({"amount":"7","converted_amount":"1","converted_currency":"USD","currency":"BOB",)"
            R"("detail":"x","exchange_rate":"6.96","raw_status":"CANCELLED","reference":"R4",)"
            R"("requested_at":"2025-02-02","reversal":{"a":{"n":null},"z":[1.50,"t"]},)"
            R"("status":"cancelled"})");
}

TEST(FxRecords, status_info_keeps_a_false_reversal_apart_from_an_absent_one) {
  FxStatusInfo info;
  info.reference = "R";
  info.reversal = json::Value(false);
  const std::string out = written(std::move(info));
  EXPECT_NE(out.find(R"("reversal":false,)"), std::string::npos) << out;
}

TEST(FxRecords, notification_members_sorted_and_payload_written_as_parsed) {
  FxNotification notification{.reference = "123",
                              .status = PaymentStatus::paid,
                              .raw_status = "PAGADO",
                              .amount = amt("10.50"),
                              .currency = std::nullopt,
                              .payload = parsed(R"({"numeroReferencia":123,"estado":"PAGADO",)"
                                                R"("importe":"10.50","extra":1E2})")};
  EXPECT_EQ(written(std::move(notification)),
            R"({"amount":"10.5","currency":null,"payload":{"estado":"PAGADO","extra":1E2,)"
            R"("importe":"10.50","numeroReferencia":123},"raw_status":"PAGADO",)"
            R"("reference":"123","status":"paid"})");
}

TEST(FxRecords, notification_without_anything_keeps_the_null_payload) {
  EXPECT_EQ(written(FxNotification{}),
            R"({"amount":null,"currency":null,"payload":null,"raw_status":null,)"
            R"("reference":null,"status":"unknown"})");
}

TEST(FxRecords, binance_notification_writes_ack_first_and_every_member) {
  json::Object ack;
  ack.insert_or_assign("numeroReferencia", json::Value("77"));
  ack.insert_or_assign("codigoRespuesta", json::Value("00"));
  ack.insert_or_assign("detalleRespuesta", json::Value(nullptr));
  BinanceNotification full{.reference = "77",
                           .status = PaymentStatus::expired,
                           .raw_status = "EXPIRADO",
                           .amount = amt("-3.10"),
                           .currency = "USDT",
                           .transaction_at = "2025-03-03 10:00",
                           .payer_name = "Ana",
                           .payer_document_id = "123 LP",
                           .ack = json::Value(std::move(ack))};
  EXPECT_EQ(written(std::move(full)),
            R"({"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"77"},)"
            R"("amount":"-3.1","currency":"USDT","payer_document_id":"123 LP","payer_name":"Ana",)"
            R"("raw_status":"EXPIRADO","reference":"77","status":"expired",)"
            R"("transaction_at":"2025-03-03 10:00"})");

  BinanceNotification bare;
  bare.reference = "1";
  bare.raw_status = "x";
  bare.ack = json::Value(json::Object{});
  EXPECT_EQ(written(std::move(bare)),
            R"({"ack":{},"amount":null,"currency":null,"payer_document_id":null,"payer_name":null,)"
            R"("raw_status":"x","reference":"1","status":"unknown","transaction_at":null})");
}

}  // namespace
