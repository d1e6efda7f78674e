// The JSON form of the result records: every member written, null when absent,
// amounts as normalized JSON text, statuses as their lower-case word.

#include <utility>

#include "quorvex_bo/fx/model.hpp"

namespace quorvex_bo::fx {

namespace {

json::Value text_or_null(std::optional<std::string>&& text) {
  if (!text) return nullptr;
  return json::Value(std::move(*text));
}

json::Value value_or_null(std::optional<json::Value>&& value) {
  if (!value) return nullptr;
  return std::move(*value);
}

}  // namespace

json::Value to_json(FxQr&& record) {
  json::Object out;
  out.insert_or_assign("amount", amount::serialize(record.amount));
  out.insert_or_assign("converted_amount", amount::serialize(record.converted_amount));
  out.insert_or_assign("converted_currency", text_or_null(std::move(record.converted_currency)));
  out.insert_or_assign("currency", json::Value(std::move(record.currency)));
  out.insert_or_assign("detail", text_or_null(std::move(record.detail)));
  out.insert_or_assign("exchange_rate", amount::serialize(record.exchange_rate));
  out.insert_or_assign("expires_at", text_or_null(std::move(record.expires_at)));
  out.insert_or_assign("image_base64", json::Value(std::move(record.image_base64)));
  out.insert_or_assign("image_mime", json::Value(std::move(record.image_mime)));
  out.insert_or_assign("merchant_reference", text_or_null(std::move(record.merchant_reference)));
  out.insert_or_assign("raw_status", json::Value(std::move(record.raw_status)));
  out.insert_or_assign("reference", json::Value(std::move(record.reference)));
  out.insert_or_assign("status", to_json(record.status));
  return out;
}

json::Value to_json(FxStatusInfo&& record) {
  json::Object out;
  out.insert_or_assign("amount", amount::serialize(record.amount));
  out.insert_or_assign("converted_amount", amount::serialize(record.converted_amount));
  out.insert_or_assign("converted_currency", text_or_null(std::move(record.converted_currency)));
  out.insert_or_assign("currency", text_or_null(std::move(record.currency)));
  out.insert_or_assign("detail", text_or_null(std::move(record.detail)));
  out.insert_or_assign("exchange_rate", amount::serialize(record.exchange_rate));
  out.insert_or_assign("raw_status", json::Value(std::move(record.raw_status)));
  out.insert_or_assign("reference", json::Value(std::move(record.reference)));
  out.insert_or_assign("requested_at", text_or_null(std::move(record.requested_at)));
  out.insert_or_assign("reversal", value_or_null(std::move(record.reversal)));
  out.insert_or_assign("status", to_json(record.status));
  return out;
}

json::Value to_json(FxNotification&& record) {
  json::Object out;
  out.insert_or_assign("amount", amount::serialize(record.amount));
  out.insert_or_assign("currency", text_or_null(std::move(record.currency)));
  out.insert_or_assign("payload", std::move(record.payload));
  out.insert_or_assign("raw_status", text_or_null(std::move(record.raw_status)));
  out.insert_or_assign("reference", text_or_null(std::move(record.reference)));
  out.insert_or_assign("status", to_json(record.status));
  return out;
}

json::Value to_json(BinanceNotification&& record) {
  json::Object out;
  out.insert_or_assign("ack", std::move(record.ack));
  out.insert_or_assign("amount", amount::serialize(record.amount));
  out.insert_or_assign("currency", text_or_null(std::move(record.currency)));
  out.insert_or_assign("payer_document_id", text_or_null(std::move(record.payer_document_id)));
  out.insert_or_assign("payer_name", text_or_null(std::move(record.payer_name)));
  out.insert_or_assign("raw_status", json::Value(std::move(record.raw_status)));
  out.insert_or_assign("reference", json::Value(std::move(record.reference)));
  out.insert_or_assign("status", to_json(record.status));
  out.insert_or_assign("transaction_at", text_or_null(std::move(record.transaction_at)));
  return out;
}

}  // namespace quorvex_bo::fx
