#include "quorvex_bo/core/status.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvex_bo {
namespace {

static_assert(StatusVocabulary<EnglishCodes>);
static_assert(StatusVocabulary<SpanishQr>);

TEST(PaymentStatus, json_form_is_the_lower_case_text) {
  const std::pair<PaymentStatus, std::string_view> table[] = {
      {PaymentStatus::pending, "pending"},   {PaymentStatus::processing, "processing"},
      {PaymentStatus::paid, "paid"},         {PaymentStatus::cancelled, "cancelled"},
      {PaymentStatus::expired, "expired"},   {PaymentStatus::rejected, "rejected"},
      {PaymentStatus::reversed, "reversed"}, {PaymentStatus::error, "error"},
      {PaymentStatus::unknown, "unknown"},
  };
  for (std::size_t i = 0; i < std::size(table); ++i) {
    const auto& [status, text] = table[i];
    EXPECT_EQ(static_cast<std::size_t>(status), i);  // declaration order fixes the numbering
    EXPECT_EQ(status_text(status), text);
    EXPECT_EQ(json::write(to_json(status)), "\"" + std::string(text) + "\"");
  }
}

struct WordCase {
  std::string_view raw;
  PaymentStatus english;
  PaymentStatus spanish;
};

class MapsGatewayWord : public testing::TestWithParam<WordCase> {};

TEST_P(MapsGatewayWord, trimmed_ascii_upper_cased_exact_match) {
  EXPECT_EQ(EnglishCodes::map(GetParam().raw), GetParam().english) << GetParam().raw;
  EXPECT_EQ(SpanishQr::map(GetParam().raw), GetParam().spanish) << GetParam().raw;
}

constexpr auto U = PaymentStatus::unknown;

INSTANTIATE_TEST_SUITE_P(Tables, MapsGatewayWord,
                         testing::Values(WordCase{"PENDING", PaymentStatus::pending, U},
                                         WordCase{"SUCCESS", PaymentStatus::paid, U},
                                         WordCase{"PAID", PaymentStatus::paid, U},
                                         WordCase{"EXPIRED", PaymentStatus::expired, U},
                                         WordCase{"CANCELLED", PaymentStatus::cancelled, U},
                                         WordCase{"ERROR", PaymentStatus::error,
                                                  PaymentStatus::error},
                                         WordCase{"PENDIENTE", U, PaymentStatus::pending},
                                         WordCase{"PAGADO", U, PaymentStatus::paid},
                                         WordCase{"EXPIRADO", U, PaymentStatus::expired},
                                         WordCase{"CANCELADO", U, PaymentStatus::cancelled}));

INSTANTIATE_TEST_SUITE_P(Normalizing, MapsGatewayWord,
                         testing::Values(WordCase{" success\n", PaymentStatus::paid, U},
                                         WordCase{"Pending", PaymentStatus::pending, U},
                                         WordCase{"Pagado", U, PaymentStatus::paid},
                                         WordCase{"\u00a0\u3000error\u2029", PaymentStatus::error,
                                                  PaymentStatus::error},
                                         WordCase{"", U, U}, WordCase{"   \t ", U, U}));

INSTANTIATE_TEST_SUITE_P(
    NoLooseMatching, MapsGatewayWord,
    testing::Values(WordCase{"CANCELED", U, U}, WordCase{"PAI", U, U}, WordCase{"PAIDX", U, U},
                    WordCase{"PA ID", U, U}, WordCase{"PROCESSING", U, U},
                    WordCase{"REJECTED", U, U}, WordCase{"\u200bPAID", U, U},
                    WordCase{"PAID\ufeff", U, U},
                    WordCase{"EXPİRED", U, U},  // dotted capital I is not folded
                    WordCase{"pagadó", U, U}, WordCase{std::string_view("PAID\0", 5), U, U}));

}  // namespace
}  // namespace quorvex_bo
