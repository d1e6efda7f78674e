#pragma once
// What the first byte of a fuzz input picks: every stage of every operation, the
// reserved names, then near misses. Append only: corpus inputs refer to positions.

#include <array>
#include <string_view>

namespace qbo_check {

inline constexpr std::array<std::string_view, 32> operation_names = {
    "pix.generate.build", "pix.generate.parse", "pix.verify.build", "pix.verify.parse",
    "pix.cancel.build", "pix.cancel.parse", "crypto.generate.build", "crypto.generate.parse",
    "crypto.verify.build", "crypto.verify.parse", "binance.generate.build",
    "binance.generate.parse", "binance.verify.build", "binance.verify.parse",
    "fx.webhook.parse", "binance.webhook.parse", "describe", "version",
    "pix.generate", "pix.generate.", "pix.generate.BUILD", "pix.verify.build.x",
    "PIX.verify.build", "fx.webhook.parse.parse", "binance.webhook", " version", "describe ",
    "", "pix", "crypto.generate.parse.", "binance.verify.", "fx.webhook.parse."};

inline std::string_view operation_for(unsigned char selector) {
  return operation_names[selector % operation_names.size()];
}

}  // namespace qbo_check
