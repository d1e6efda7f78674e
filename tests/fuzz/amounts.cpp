// The amount reader and writers: whatever reads as an amount is written back as
// normalized plain text that reads as the same amount, and short plain numbers
// keep exactly their digits.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "quorvex_bo/core/amount.hpp"
#include "quorvex_bo/core/text.hpp"

namespace {

namespace json = quorvex_bo::json;
namespace amount = quorvex_bo::amount;
using quorvex_bo::Amount;

// The normalized text of [+-]?digits(.digits)? with at most 28 significant
// digits and 28 written decimals, found by editing the text: the oracle for the
// decimal arithmetic.
std::optional<std::string> normalized_by_hand(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  const std::size_t point = std::min(text.find('.'), text.size());
  std::string_view integer = text.substr(0, point),
                   fraction = text.substr(std::min(point + 1, text.size()));
  if (integer.empty() || (point < text.size() && fraction.empty()) || fraction.size() > 28 ||
      text.find_first_not_of("0123456789.") != std::string_view::npos ||
      fraction.find('.') != std::string_view::npos)
    return {};
  integer.remove_prefix(std::min(integer.find_first_not_of('0'), integer.size() - 1));
  fraction = fraction.substr(0, fraction.find_last_not_of('0') + 1);
  if (integer.size() + fraction.size() > 28) return {};
  std::string out = std::string(integer) + (fraction.empty() ? "" : "." + std::string(fraction));
  return negative && out.find_first_not_of("0.") != std::string::npos ? "-" + out : out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (!qbo_check::is_utf8(text)) return -1;  // JSON strings are UTF-8
  const bool as_number = data[0] % 2 == 0 && json::is_number_literal(text);
  const json::Value value = as_number ? json::Value(json::Number{text}) : json::Value(text);

  const auto read = amount::from_value(value);
  if (!read) {
    qbo_check::require(read.error().starts_with("invalid amount `"), "unexpected reason", text);
    return 0;
  }
  const Amount normal = read->normalized();
  const std::string plain = normal.plain_text();
  qbo_check::require((normal <=> *read) == 0 && normal.scale <= read->scale, "normalizing changed it",
                     text);
  qbo_check::require(plain.find_first_of("eE+") == std::string::npos &&
                         (normal.scale == 0 || plain.back() != '0') && plain != "-0",
                     "not normalized plain text", plain);
  const std::string_view read_text = as_number ? text : quorvex_bo::text::trim(text);
  if (const auto expected = normalized_by_hand(read_text))
    qbo_check::require(plain == *expected, "digits changed", text + " -> " + plain);

  const auto again = amount::from_value(json::Value(plain));
  qbo_check::require(again && (*again <=> normal) == 0 && again->plain_text() == plain,
                     "plain text does not read back", plain);
  qbo_check::require(json::to_text(*read) == "\"" + plain + "\"", "written text differs", plain);
  const auto number = amount::to_json_number(*read);
  qbo_check::require(number && number->as_number() && number->as_number()->text == plain &&
                         json::is_number_literal(plain),
                     "not the JSON number of its plain text", plain);

  const auto checked = amount::validate("amount", *read);
  const bool acceptable = normal > Amount{} && normal.scale <= 2;
  qbo_check::require(checked.has_value() == acceptable && (!checked || (*checked <=> normal) == 0),
                     "validation disagrees with the limits", text);
  return 0;
}
