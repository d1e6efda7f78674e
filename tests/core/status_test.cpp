#include "quorvex_bo/core/status.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace quorvex_bo {
namespace {

TEST(PaymentStatus, json_form_is_the_lower_case_text) {
  const std::string texts[] = {"pending",  "processing", "paid",  "cancelled", "expired",
                               "rejected", "reversed",   "error", "unknown"};
  for (std::size_t i = 0; i < std::size(texts); ++i)
    EXPECT_EQ(json::to_text(static_cast<PaymentStatus>(i)), '"' + texts[i] + '"');
}

TEST(StatusVocabulary, maps_trimmed_ascii_upper_cased_words_exactly) {
  using enum PaymentStatus;
  // Raw word, its EnglishCodes status, its SpanishQr status.
  const std::tuple<std::string_view, PaymentStatus, PaymentStatus> rows[] = {
      {"PENDING", pending, unknown},     {"SUCCESS", paid, unknown},
      {"PAID", paid, unknown},           {"EXPIRED", expired, unknown},
      {"CANCELLED", cancelled, unknown}, {"ERROR", error, error},
      {"PENDIENTE", unknown, pending},   {"PAGADO", unknown, paid},
      {"EXPIRADO", unknown, expired},    {"CANCELADO", unknown, cancelled},
      {" success\n", paid, unknown},     {"Pagado", unknown, paid},
      {"\u00a0\u3000error\u2029", error, error}, {"", unknown, unknown},
      {"   \t ", unknown, unknown},      {"CANCELED", unknown, unknown},
      {"PAIDX", unknown, unknown},       {"\u200bPAID", unknown, unknown},
      {"EXP\u0130RED", unknown, unknown},  // dotted capital I is not folded
      {"pagad\u00f3", unknown, unknown}};
  for (const auto& [raw, english, spanish] : rows) {
    EXPECT_EQ(EnglishCodes::map(raw), english) << raw;
    EXPECT_EQ(SpanishQr::map(raw), spanish) << raw;
  }
}

}  // namespace
}  // namespace quorvex_bo
