// The JSON form of the result records: every member present and sorted, null
// when absent, amounts as normalized text. (Filled records are checked where
// they are filled: the wire and webhook tests.)

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/fx/model.hpp"

namespace {

using namespace quorvex_bo;
using namespace quorvex_bo::fx;

template <class R>
std::string written(R record) {
  return json::to_text(record);
}

TEST(FxRecords, qr_writes_null_for_absent_members_and_the_currency_as_text) {
  FxQr qr;
  qr.reference = "R1";
  qr.amount = amount::parse_plain("100.00").value();
  qr.raw_status = "PENDING";
  qr.status = PaymentStatus::pending;
  EXPECT_EQ(written(std::move(qr)),
            R"({"amount":"100","converted_amount":null,"converted_currency":null,"currency":"",)"
            R"("detail":null,"exchange_rate":null,"expires_at":null,"image_base64":"",)"
            R"("image_mime":"","merchant_reference":null,"raw_status":"PENDING",)"
            R"("reference":"R1","status":"pending"})");
}

TEST(FxRecords, status_info_writes_an_absent_currency_and_reversal_as_null) {
  FxStatusInfo info;
  info.reference = "R3";
  EXPECT_EQ(written(std::move(info)),
            R"({"amount":null,"converted_amount":null,"converted_currency":null,"currency":null,)"
            R"("detail":null,"exchange_rate":null,"raw_status":"","reference":"R3",)"
            R"("requested_at":null,"reversal":null,"status":"unknown"})");
}

TEST(FxRecords, notifications_write_every_member_in_sorted_order) {
  EXPECT_EQ(written(FxNotification{}),
            R"({"amount":null,"currency":null,"payload":null,"raw_status":null,)"
            R"("reference":null,"status":"unknown"})");
  BinanceNotification bare;
  bare.reference = "1";
  bare.raw_status = "x";
  bare.ack = json::Value(json::Object{});
  EXPECT_EQ(written(std::move(bare)),
            R"({"ack":{},"amount":null,"currency":null,"payer_document_id":null,"payer_name":null,)"
            R"("raw_status":"x","reference":"1","status":"unknown","transaction_at":null})");
}

}  // namespace
