#include "quorvex_bo/core/status.hpp"

#include <array>
#include <cstring>
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

namespace {

// Each status word quoted, in a slot of sixteen bytes copied whole.
struct QuotedWord {
  std::array<char, 16> text{};
  std::size_t size = 0;
};
constexpr auto quoted_words = [] {
  constexpr auto words = describe(std::type_identity<PaymentStatus>{}).texts;
  std::array<QuotedWord, words.size()> out{};
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].size() + 2 > json_room(PaymentStatus{})) throw "a status word longer than its room";
    out[i].text[0] = '"';
    for (std::size_t j = 0; j < words[i].size(); ++j) out[i].text[j + 1] = words[i][j];
    out[i].text[words[i].size() + 1] = '"';
    out[i].size = words[i].size() + 2;
  }
  return out;
}();

}  // namespace

char* write_json(char* at, PaymentStatus status) {
  const QuotedWord& word = quoted_words[static_cast<std::size_t>(status)];
  std::memcpy(at, word.text.data(), word.text.size());  // within the room and the slack
  return at + word.size;
}

void write_json(std::string& out, PaymentStatus status) { json::append_bounded(out, status); }

PaymentStatus EnglishCodes::map(std::string_view raw) { return lookup(raw, english_words); }

PaymentStatus SpanishQr::map(std::string_view raw) { return lookup(raw, spanish_words); }

}  // namespace quorvex_bo
