// The JSON form of the result records: every member written, null when absent,
// amounts as normalized JSON text, statuses as their lower-case word.

#include "quorvex_bo/fx/model.hpp"

namespace quorvex_bo::fx {

using json::put;

void write_json(std::string& out, const FxQr& r) {
  json::write_object(out, put<"amount">(r.amount), put<"converted_amount">(r.converted_amount),
                     put<"converted_currency">(r.converted_currency), put<"currency">(r.currency),
                     put<"detail">(r.detail), put<"exchange_rate">(r.exchange_rate),
                     put<"expires_at">(r.expires_at), put<"image_base64">(json::MostlyPlain{r.image_base64}),
                     put<"image_mime">(r.image_mime),
                     put<"merchant_reference">(r.merchant_reference),
                     put<"raw_status">(r.raw_status), put<"reference">(r.reference),
                     put<"status">(r.status));
}

void write_json(std::string& out, const FxStatusInfo& r) {
  json::write_object(out, put<"amount">(r.amount), put<"converted_amount">(r.converted_amount),
                     put<"converted_currency">(r.converted_currency), put<"currency">(r.currency),
                     put<"detail">(r.detail), put<"exchange_rate">(r.exchange_rate),
                     put<"raw_status">(r.raw_status), put<"reference">(r.reference),
                     put<"requested_at">(r.requested_at), put<"reversal">(r.reversal),
                     put<"status">(r.status));
}

void write_json(std::string& out, const FxNotification& r) {
  json::write_object(out, put<"amount">(r.amount), put<"currency">(r.currency),
                     put<"payload">(r.payload), put<"raw_status">(r.raw_status),
                     put<"reference">(r.reference), put<"status">(r.status));
}

void write_json(std::string& out, const BinanceNotification& r) {
  // "ack", the answer the gateway expects back, refers to values that live as
  // long as this one expression.
  json::write_object(out,
                     put<"ack">(json::object(put<"codigoRespuesta">("00"),
                                             put<"detalleRespuesta">(nullptr),
                                             put<"numeroReferencia">(r.reference))),
                     put<"amount">(r.amount), put<"currency">(r.currency),
                     put<"payer_document_id">(r.payer_document_id),
                     put<"payer_name">(r.payer_name), put<"raw_status">(r.raw_status),
                     put<"reference">(r.reference), put<"status">(r.status),
                     put<"transaction_at">(r.transaction_at));
}

}  // namespace quorvex_bo::fx
