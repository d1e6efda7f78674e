#pragma once
// The caller's input records and the normalized result records of the FX product.

#include <cstdint>
#include <optional>
#include <string>

#include "quorvex_bo/core/amount.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/status.hpp"
#include "quorvex_bo/core/webhook.hpp"

namespace quorvex_bo::fx {

// ---- Input records ----------------------------------------------------------

enum class Currency : std::uint8_t { BOB, USD };
constexpr auto describe(std::type_identity<Currency>) {
  return json::enumeration<Currency>("Currency", "BOB", "USD");
}
inline Currency default_currency() { return Currency::BOB; }

enum class VirtualAsset : std::uint8_t { usdt, usdc, bk };
constexpr auto describe(std::type_identity<VirtualAsset>) {
  return json::enumeration<VirtualAsset>("VirtualAsset", "usdt", "usdc", "bk");
}
// The gateway's code of an asset: "UT", "UP", "BK".
std::string_view gateway_code(VirtualAsset asset);

// The channel when the caller names none: "WEB".
std::string default_channel();

struct PixQr {
  std::string reference;
  std::string glosa;
  Amount amount;
  Currency currency = Currency::BOB;
  std::string channel;
  std::optional<std::uint64_t> expires_in;
  std::string payer_cpf;
  std::string payer_phone;
  std::optional<std::string> payer_email;
  std::optional<std::string> extra;
  std::optional<WebhookTarget> webhook;
};
constexpr auto describe(std::type_identity<PixQr>) {
  return json::record<PixQr>(
      "PixQr", json::required("reference", &PixQr::reference),
      json::required("glosa", &PixQr::glosa),
      json::required("amount", &PixQr::amount, amount::reader),
      json::defaulted("currency", &PixQr::currency, &default_currency),
      json::defaulted("channel", &PixQr::channel, &default_channel),
      json::optional("expires_in", &PixQr::expires_in),
      json::required("payer_cpf", &PixQr::payer_cpf),
      json::required("payer_phone", &PixQr::payer_phone),
      json::optional("payer_email", &PixQr::payer_email),
      json::optional("extra", &PixQr::extra), json::optional("webhook", &PixQr::webhook));
}

struct VirtualAssetQr {
  std::string reference;
  std::string glosa;
  Amount amount;
  Currency currency = Currency::BOB;
  VirtualAsset asset = VirtualAsset::usdt;
  std::string channel;
  std::uint64_t expires_in = 0;
  std::optional<std::string> extra;
  std::optional<WebhookTarget> webhook;
};
constexpr auto describe(std::type_identity<VirtualAssetQr>) {
  return json::record<VirtualAssetQr>(
      "VirtualAssetQr", json::required("reference", &VirtualAssetQr::reference),
      json::required("glosa", &VirtualAssetQr::glosa),
      json::required("amount", &VirtualAssetQr::amount, amount::reader),
      json::defaulted("currency", &VirtualAssetQr::currency, &default_currency),
      json::required("asset", &VirtualAssetQr::asset),
      json::defaulted("channel", &VirtualAssetQr::channel, &default_channel),
      json::required("expires_in", &VirtualAssetQr::expires_in),
      json::optional("extra", &VirtualAssetQr::extra),
      json::optional("webhook", &VirtualAssetQr::webhook));
}

struct BinanceQr {
  std::string reference;
  std::string glosa;
  Amount amount;
  Currency currency = Currency::BOB;
  std::string channel;
  std::optional<std::uint64_t> expires_in;
  std::optional<std::string> extra;
  std::optional<WebhookTarget> webhook;
};
constexpr auto describe(std::type_identity<BinanceQr>) {
  return json::record<BinanceQr>(
      "BinanceQr", json::required("reference", &BinanceQr::reference),
      json::required("glosa", &BinanceQr::glosa),
      json::required("amount", &BinanceQr::amount, amount::reader),
      json::defaulted("currency", &BinanceQr::currency, &default_currency),
      json::defaulted("channel", &BinanceQr::channel, &default_channel),
      json::optional("expires_in", &BinanceQr::expires_in),
      json::optional("extra", &BinanceQr::extra), json::optional("webhook", &BinanceQr::webhook));
}

struct VerifyFx {
  std::string reference;
};
constexpr auto describe(std::type_identity<VerifyFx>) {
  return json::record<VerifyFx>("VerifyFx", json::required("reference", &VerifyFx::reference));
}

// ---- Result records ---------------------------------------------------------
// Written with every member present (null when absent), amounts as JSON text,
// members in ascending key order.

struct FxQr {
  std::string reference;
  Amount amount;
  std::string currency;
  std::optional<std::string> merchant_reference;
  PaymentStatus status = PaymentStatus::unknown;
  std::string raw_status;
  std::optional<std::string> detail;
  std::optional<Amount> converted_amount;
  std::optional<std::string> converted_currency;
  std::optional<Amount> exchange_rate;
  std::optional<std::string> expires_at;
  std::string image_base64;
  std::string image_mime;
};
void write_json(std::string& out, const FxQr& record);

struct FxStatusInfo {
  std::string reference;
  PaymentStatus status = PaymentStatus::unknown;
  std::string raw_status;
  std::optional<std::string> detail;
  std::optional<Amount> amount;
  std::optional<std::string> currency;
  std::optional<Amount> converted_amount;
  std::optional<std::string> converted_currency;
  std::optional<Amount> exchange_rate;
  std::optional<json::Value> reversal;
  std::optional<std::string> requested_at;
};
void write_json(std::string& out, const FxStatusInfo& record);

struct FxNotification {
  std::optional<std::string> reference;
  PaymentStatus status = PaymentStatus::unknown;
  std::optional<std::string> raw_status;
  std::optional<Amount> amount;
  std::optional<std::string> currency;
  json::CompactText payload;  // the whole notification
};
void write_json(std::string& out, const FxNotification& record);

struct BinanceNotification {
  std::string reference;
  PaymentStatus status = PaymentStatus::unknown;
  std::string raw_status;
  std::optional<Amount> amount;
  std::optional<std::string> currency;
  std::optional<std::string> transaction_at;
  std::optional<std::string> payer_name;
  std::optional<std::string> payer_document_id;
};
// Written with "ack", the answer the gateway expects back for the notification:
// {"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":<reference>}.
void write_json(std::string& out, const BinanceNotification& record);

}  // namespace quorvex_bo::fx
