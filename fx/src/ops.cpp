// Request building for the seven gateway operations. Every builder checks its
// input rule by rule and stops at the first failure; the access token is asked
// for only once the input has passed, so a bad input is reported before a
// missing token.

#include "quorvex_bo/fx/ops.hpp"

#include <algorithm>

#include "quorvex_bo/core/spare.hpp"
#include "quorvex_bo/core/text.hpp"
#include "quorvex_bo/fx/validate.hpp"

namespace quorvex_bo::fx {

namespace {

constexpr std::string_view pix_generate_path = "qr/pix/v2/generar";
constexpr std::string_view binance_generate_path = "qr/binance/v2/generar";
constexpr std::string_view crypto_generate_path = "qr/koibanx/v2/generar";
constexpr std::string_view pix_verify_path = "qr/pix/v2/verifica";
constexpr std::string_view pix_cancel_path = "qr/pix/v2/cancela";
constexpr std::string_view crypto_verify_path = "qr/koibanx/v2/estado";
constexpr std::string_view binance_verify_path = "qr/binance/v2/verificar";

constexpr std::uint64_t pix_max_expiry = 86399;
constexpr std::uint64_t binance_max_expiry = 300;
constexpr std::uint64_t crypto_min_expiry = 180;
constexpr std::uint64_t crypto_max_expiry = 600;
constexpr std::size_t binance_max_reference = 10;
// A generation body takes a few hundred bytes; the writer asks for room for the
// worst-case escapes of each string, so this much spares it from growing.
constexpr std::size_t body_room = 1024;

// The thread's spare buffer with room for a body; the build stage gives it
// back once the request is written.
std::string body_buffer() {
  std::string body = spare::take();
  body.reserve(body_room);
  return body;
}

bool all_digits(std::string_view digits) {
  return std::ranges::all_of(digits, quorvex_bo::text::is_ascii_digit);
}

// Exactly 11 ASCII digits.
Result<void> check_cpf(std::string_view cpf) {
  if (cpf.size() != 11 || !all_digits(cpf))
    return std::unexpected(Error::validation("payer_cpf", "must be 11 digits"));
  return {};
}

// "+" followed by exactly 13 ASCII digits.
Result<void> check_phone(std::string_view phone) {
  if (phone.size() != 14 || phone.front() != '+' || !all_digits(phone.substr(1)))
    return std::unexpected(Error::validation(
        "payer_phone", "must be `+` followed by 13 digits, e.g. +5511999999999"));
  return {};
}

// The crypto rail refuses bolivianos below Bs 50; the amount is compared as
// the caller wrote it, before any normalization.
Result<void> check_crypto_minimum(const Amount& amount, Currency currency) {
  constexpr std::uint64_t minimum = 50;
  if (currency == Currency::BOB && amount < Amount{Mantissa(minimum), 0, false})
    return std::unexpected(Error::validation("amount", "minimum is Bs 50"));
  return {};
}

Result<void> check_crypto_expiry(std::uint64_t seconds) {
  if (seconds < crypto_min_expiry || seconds > crypto_max_expiry)
    return std::unexpected(
        Error::validation("expires_in", "must be between 180 and 600 seconds"));
  return {};
}

// The extra field of the binance and crypto bodies: always sent, "" when absent.
std::string_view extra_or_empty(const std::optional<std::string>& extra) {
  return extra ? std::string_view(*extra) : std::string_view();
}

// hh:mm:ss of an optional expiry, checked against `largest`.
Result<std::optional<std::string>> optional_hhmmss(const std::optional<std::uint64_t>& seconds,
                                                   std::uint64_t largest) {
  if (!seconds) return std::optional<std::string>();
  Result<std::string> text = validate::hhmmss("expires_in", *seconds, largest);
  if (!text) return std::unexpected(std::move(text.error()));
  return std::optional<std::string>(std::move(*text));
}

}  // namespace

namespace ops {

Result<CommonBody> common_body(std::string_view reference, std::string_view glosa,
                               const Amount& amount, Currency currency, std::string_view channel,
                               const std::optional<WebhookTarget>& webhook) {
  Result<Amount> normalized = amount::validate("amount", amount);
  if (!normalized) return std::unexpected(std::move(normalized.error()));
  if (!webhook) return std::unexpected(Error::validation("webhook", "is required by Quorvex"));
  if (Result<void> target = webhook->validate(); !target)
    return std::unexpected(std::move(target.error()));
  Result<std::string> clean_glosa = validate::glosa(glosa);
  if (!clean_glosa) return std::unexpected(std::move(clean_glosa.error()));
  Result<json::Value> monto = amount::to_json_number(*normalized);
  if (!monto) return std::unexpected(std::move(monto.error()));
  Result<std::string> canal = validate::channel(channel);
  if (!canal) return std::unexpected(std::move(canal.error()));
  return CommonBody{reference,          std::move(*clean_glosa), std::move(*monto),
                    json::enum_text(currency), std::move(*canal),  *webhook};
}

Result<HttpRequest> post(const Ctx& ctx, std::string_view path, std::string body) {
  Url url = ctx.config.url(path);
  Result<Headers> headers = ctx.api_headers();
  if (!headers) return std::unexpected(std::move(headers.error()));
  return HttpRequest{Method::POST, url, *headers, std::move(body)};
}

Result<HttpRequest> get_status(const Ctx& ctx, std::string_view path, const VerifyFx& input) {
  if (Result<void> reference = validate::reference(input.reference); !reference)
    return std::unexpected(std::move(reference.error()));
  Url url = ctx.config.url(path, input.reference);
  Result<Headers> headers = ctx.api_headers();
  if (!headers) return std::unexpected(std::move(headers.error()));
  return HttpRequest{Method::GET, url, *headers, std::nullopt};
}

}  // namespace ops

// The bodies are written member by member in ascending key order; every check
// has passed before the first byte is written.

Result<HttpRequest> PixGenerate::request(const Ctx& ctx, const PixQr& input) {
  if (Result<void> reference = validate::reference(input.reference); !reference)
    return std::unexpected(std::move(reference.error()));
  if (Result<void> cpf = check_cpf(input.payer_cpf); !cpf)
    return std::unexpected(std::move(cpf.error()));
  if (Result<void> phone = check_phone(input.payer_phone); !phone)
    return std::unexpected(std::move(phone.error()));
  Result<ops::CommonBody> common = ops::common_body(input.reference, input.glosa, input.amount,
                                                    input.currency, input.channel, input.webhook);
  if (!common) return std::unexpected(std::move(common.error()));
  Result<std::optional<std::string>> tiempo = optional_hhmmss(input.expires_in, pix_max_expiry);
  if (!tiempo) return std::unexpected(std::move(tiempo.error()));
  if (input.payer_email)
    if (Result<void> email = validate::email(*input.payer_email); !email)
      return std::unexpected(std::move(email.error()));

  using json::put, json::put_if;
  std::string body = body_buffer();
  json::write_object(body, put_if<"campoExtra">(input.extra.has_value(), input.extra),
                     put<"canal">(common->channel),
                     put_if<"correoElectronico">(input.payer_email.has_value(), input.payer_email),
                     put<"cpf">(input.payer_cpf), put<"glosa">(common->glosa),
                     put<"moneda">(common->currency), put<"monto">(common->amount),
                     put<"numeroReferencia">(common->reference),
                     put<"telefono">(input.payer_phone),
                     put_if<"tiempoQr">(tiempo->has_value(), *tiempo),
                     put<"webhook">(common->webhook));
  return ops::post(ctx, pix_generate_path, std::move(body));
}

Result<HttpRequest> BinanceGenerate::request(const Ctx& ctx, const BinanceQr& input) {
  if (Result<void> reference = validate::reference(input.reference, binance_max_reference);
      !reference)
    return std::unexpected(std::move(reference.error()));
  Result<ops::CommonBody> common = ops::common_body(input.reference, input.glosa, input.amount,
                                                    input.currency, input.channel, input.webhook);
  if (!common) return std::unexpected(std::move(common.error()));
  Result<std::optional<std::string>> tiempo = optional_hhmmss(input.expires_in, binance_max_expiry);
  if (!tiempo) return std::unexpected(std::move(tiempo.error()));

  using json::put, json::put_if;
  std::string body = body_buffer();
  json::write_object(body, put<"campoExtra">(extra_or_empty(input.extra)),
                     put<"canal">(common->channel), put<"glosa">(common->glosa),
                     put<"moneda">(common->currency), put<"monto">(common->amount),
                     put<"numeroReferencia">(common->reference),
                     put_if<"tiempoQr">(tiempo->has_value(), *tiempo),
                     put<"webhook">(common->webhook));
  return ops::post(ctx, binance_generate_path, std::move(body));
}

Result<HttpRequest> CryptoGenerate::request(const Ctx& ctx, const VirtualAssetQr& input) {
  if (Result<void> reference = validate::reference(input.reference); !reference)
    return std::unexpected(std::move(reference.error()));
  if (Result<void> minimum = check_crypto_minimum(input.amount, input.currency); !minimum)
    return std::unexpected(std::move(minimum.error()));
  if (Result<void> expiry = check_crypto_expiry(input.expires_in); !expiry)
    return std::unexpected(std::move(expiry.error()));
  Result<ops::CommonBody> common = ops::common_body(input.reference, input.glosa, input.amount,
                                                    input.currency, input.channel, input.webhook);
  if (!common) return std::unexpected(std::move(common.error()));

  using json::put;
  std::string body = body_buffer();
  json::write_object(body, put<"activoVirtual">(gateway_code(input.asset)),
                     put<"campoExtra">(extra_or_empty(input.extra)),
                     put<"canal">(common->channel), put<"glosa">(common->glosa),
                     put<"moneda">(common->currency), put<"monto">(common->amount),
                     put<"numeroReferencia">(common->reference),
                     put<"tiempoVencimientoQR">(input.expires_in),
                     put<"webhook">(common->webhook));
  return ops::post(ctx, crypto_generate_path, std::move(body));
}

Result<HttpRequest> PixVerify::request(const Ctx& ctx, const VerifyFx& input) {
  return ops::get_status(ctx, pix_verify_path, input);
}

Result<HttpRequest> PixCancel::request(const Ctx& ctx, const VerifyFx& input) {
  return ops::get_status(ctx, pix_cancel_path, input);
}

Result<HttpRequest> CryptoVerify::request(const Ctx& ctx, const VerifyFx& input) {
  return ops::get_status(ctx, crypto_verify_path, input);
}

Result<HttpRequest> BinanceVerify::request(const Ctx& ctx, const VerifyFx& input) {
  return ops::get_status(ctx, binance_verify_path, input);
}

}  // namespace quorvex_bo::fx
