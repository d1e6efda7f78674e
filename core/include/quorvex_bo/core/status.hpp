#pragma once
// The common payment status and the vocabularies that map gateway words onto it.

#include <cstdint>
#include <string_view>

#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

enum class PaymentStatus : std::uint8_t {
  pending,
  processing,
  paid,
  cancelled,
  expired,
  rejected,
  reversed,
  error,
  unknown,
};

constexpr auto describe(std::type_identity<PaymentStatus>) {
  return json::enumeration<PaymentStatus>("PaymentStatus", "pending", "processing", "paid",
                                          "cancelled", "expired", "rejected", "reversed",
                                          "error", "unknown");
}

// "pending", "processing", …, "unknown".
std::string_view status_text(PaymentStatus status);
// The status as its JSON text, also at a raw pointer (see json.hpp).
void write_json(std::string& out, PaymentStatus status);
constexpr std::size_t json_room(PaymentStatus) { return 12; }  // "processing" and quotes
char* write_json(char* at, PaymentStatus status);

// A vocabulary maps a raw gateway word (trimmed, ASCII upper-cased, compared
// exactly) to a status; unknown for anything else. Total and stateless.
template <class V>
concept StatusVocabulary = requires(std::string_view raw) {
  { V::map(raw) } -> std::same_as<PaymentStatus>;
};

// PENDING, SUCCESS, PAID, EXPIRED, CANCELLED, ERROR.
struct EnglishCodes {
  static PaymentStatus map(std::string_view raw);
};
// PENDIENTE, PAGADO, EXPIRADO, CANCELADO, ERROR.
struct SpanishQr {
  static PaymentStatus map(std::string_view raw);
};

}  // namespace quorvex_bo
