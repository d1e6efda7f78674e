#include "quorvex_bo/core/status.hpp"

#include <array>
#include <utility>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo {
namespace {

using Word = std::pair<std::string_view, PaymentStatus>;

constexpr std::array<Word, 6> english_words{{
    {"PENDING", PaymentStatus::pending},
    {"SUCCESS", PaymentStatus::paid},
    {"PAID", PaymentStatus::paid},
    {"EXPIRED", PaymentStatus::expired},
    {"CANCELLED", PaymentStatus::cancelled},
    {"ERROR", PaymentStatus::error},
}};

constexpr std::array<Word, 5> spanish_words{{
    {"PENDIENTE", PaymentStatus::pending},
    {"PAGADO", PaymentStatus::paid},
    {"EXPIRADO", PaymentStatus::expired},
    {"CANCELADO", PaymentStatus::cancelled},
    {"ERROR", PaymentStatus::error},
}};

// Trimmed, then compared byte for byte with ASCII letters folded to upper case:
// the same as upper-casing and comparing exactly, without building a string.
template <std::size_t N>
PaymentStatus lookup(std::string_view raw, const std::array<Word, N>& table) {
  const std::string_view word = text::trim(raw);
  if (word.empty()) return PaymentStatus::unknown;
  for (const auto& [known, status] : table)
    if (text::ascii_iequals(word, known)) return status;
  return PaymentStatus::unknown;
}

}  // namespace

std::string_view status_text(PaymentStatus status) { return json::enum_text(status); }

void write_json(std::string& out, PaymentStatus status) {
  out += '"';
  out += status_text(status);
  out += '"';
}

PaymentStatus EnglishCodes::map(std::string_view raw) { return lookup(raw, english_words); }

PaymentStatus SpanishQr::map(std::string_view raw) { return lookup(raw, spanish_words); }

}  // namespace quorvex_bo
