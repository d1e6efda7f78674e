#include "quorvex_bo/core/error.hpp"

#include <gtest/gtest.h>

#include "quorvex_bo/core/status.hpp"

namespace quorvex_bo {
namespace {

TEST(Error, json_has_the_kind_and_only_the_kinds_members) {
  const std::pair<Error, const char*> rows[] = {
      {Error::validation("token", "m"), R"({"field":"token","kind":"validation","message":"m"})"},
      {Error::authentication(401, "m"), R"({"kind":"authentication","message":"m","status":401})"},
      {Error::api(503, "m", {}, true), R"({"errors":[],"kind":"api","message":"m","retryable":true,"status":503})"},
      {Error::ambiguous("m", {ApiFieldError{"f", "x", std::nullopt}}),
       R"({"errors":[{"code":null,"field":"f","message":"x"}],"kind":"ambiguous","message":"m"})"},
      {Error::webhook_auth("m"), R"({"kind":"webhook_auth","message":"m"})"}};
  for (const auto& [error, text] : rows) EXPECT_EQ(json::to_text(error), text);
}

TEST(StatusVocabulary, maps_trimmed_ascii_upper_cased_words_exactly) {
  using enum PaymentStatus;
  // Raw word, its EnglishCodes status, its SpanishQr status.
  const std::tuple<std::string_view, PaymentStatus, PaymentStatus> rows[] = {
      {"PENDING", pending, unknown},   {"SUCCESS", paid, unknown},  {"PAID", paid, unknown},
      {"EXPIRED", expired, unknown},   {"CANCELLED", cancelled, unknown},
      {"ERROR", error, error},         {"PENDIENTE", unknown, pending},
      {"PAGADO", unknown, paid},       {"EXPIRADO", unknown, expired},
      {"CANCELADO", unknown, cancelled}, {" success\n", paid, unknown},
      {"\u00a0\u3000Pagado\u2029", unknown, paid}, {"", unknown, unknown},
      {"CANCELED", unknown, unknown},  {"EXP\u0130RED", unknown, unknown}};
  for (const auto& [raw, english, spanish] : rows) {
    EXPECT_EQ(EnglishCodes::map(raw), english) << raw;
    EXPECT_EQ(SpanishQr::map(raw), spanish) << raw;
  }
  EXPECT_EQ(json::to_text(cancelled), R"("cancelled")");
}

}  // namespace
}  // namespace quorvex_bo
