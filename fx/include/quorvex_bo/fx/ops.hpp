#pragma once
// The seven gateway operations: request building and the parse-stage conversion.

#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/amount.hpp"
#include "quorvex_bo/core/envelope.hpp"
#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/http.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/operation.hpp"
#include "quorvex_bo/core/webhook.hpp"
#include "quorvex_bo/fx/model.hpp"
#include "quorvex_bo/fx/wire.hpp"

namespace quorvex_bo::fx {

namespace ops {

// The values of the six members every generation body has ("numeroReferencia",
// "glosa", "monto", "moneda", "canal", "webhook"), once the amount, the webhook,
// the glosa and the channel have passed their checks, in that order.
struct CommonBody {
  std::string_view reference;
  std::string glosa;       // the normalized glosa
  json::Value amount;      // the normalized amount as a JSON number
  std::string_view currency;
  std::string channel;     // trimmed, upper-cased
  const WebhookTarget& webhook;
};
Result<CommonBody> common_body(std::string_view reference, std::string_view glosa,
                               const Amount& amount, Currency currency, std::string_view channel,
                               const std::optional<WebhookTarget>& webhook);
// The POST request of a body (compact JSON text); the access token is demanded
// here, last.
Result<HttpRequest> post(const Ctx& ctx, std::string_view path, std::string body);
// The GET request of a verify or cancel path + "/" + reference.
Result<HttpRequest> get_status(const Ctx& ctx, std::string_view path, const VerifyFx& input);

}  // namespace ops

// Shared by the generate operations: the answer is `Generated`, the result `FxQr`.
template <class In>
struct GenerateOperation {
  using Input = In;
  using Payload = Generated;
  using Output = FxQr;
  using Envelope = CodigoRespuesta;
  static std::optional<Error> convert(Generated&& payload, In&&, FxQr& out) {
    return std::move(payload).into_qr(out);
  }
};

// Shared by the verify and cancel operations: `Status` into `FxStatusInfo`.
struct StatusOperation {
  using Input = VerifyFx;
  using Payload = Status;
  using Output = FxStatusInfo;
  using Envelope = CodigoRespuesta;
  static std::optional<Error> convert(Status&& payload, VerifyFx&& input, FxStatusInfo& out) {
    std::move(payload).into_info(std::move(input.reference), out);
    return std::nullopt;
  }
};

struct PixGenerate : GenerateOperation<PixQr> {
  static constexpr std::string_view name = "pix.generate";
  static Result<HttpRequest> request(const Ctx& ctx, const PixQr& input);
};
struct CryptoGenerate : GenerateOperation<VirtualAssetQr> {
  static constexpr std::string_view name = "crypto.generate";
  static Result<HttpRequest> request(const Ctx& ctx, const VirtualAssetQr& input);
};
struct BinanceGenerate : GenerateOperation<BinanceQr> {
  static constexpr std::string_view name = "binance.generate";
  static Result<HttpRequest> request(const Ctx& ctx, const BinanceQr& input);
};

struct PixVerify : StatusOperation {
  static constexpr std::string_view name = "pix.verify";
  static Result<HttpRequest> request(const Ctx& ctx, const VerifyFx& input);
};
struct PixCancel : StatusOperation {
  static constexpr std::string_view name = "pix.cancel";
  static Result<HttpRequest> request(const Ctx& ctx, const VerifyFx& input);
};
struct CryptoVerify : StatusOperation {
  static constexpr std::string_view name = "crypto.verify";
  static Result<HttpRequest> request(const Ctx& ctx, const VerifyFx& input);
};
struct BinanceVerify : StatusOperation {
  static constexpr std::string_view name = "binance.verify";
  static Result<HttpRequest> request(const Ctx& ctx, const VerifyFx& input);
};

}  // namespace quorvex_bo::fx
