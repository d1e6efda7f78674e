// The JSON reader and writer: whatever parses is written as compact UTF-8 text
// that parses to the same value and is written again byte for byte.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.hpp"

namespace {

namespace json = quorvex_bo::json;

// Whether any object repeats a key: the writer keeps only the last occurrence,
// so such a value cannot come back equal.
bool repeats_a_key(const json::Value& value) {
  if (const json::Array* array = value.as_array())
    return std::ranges::any_of(*array, repeats_a_key);
  const json::Object* object = value.as_object();
  if (!object) return false;
  for (auto it = object->begin(); it != object->end(); ++it)
    if ((it + 1 != object->end() && it->key == (it + 1)->key) || repeats_a_key(it->value))
      return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = json::parse(text);
  if (!value) {
    qbo_check::require(value.error().find(" at line ") != std::string::npos,
                       "syntax error without a position", value.error());
    return 0;
  }
  const std::string written = json::write(*value);
  const json::Value again = qbo_check::canonical(written);
  qbo_check::require(repeats_a_key(*value) || again == *value, "value changed on the way back",
                     written);
  return 0;
}
