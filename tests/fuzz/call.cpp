// The whole call protocol: the first byte picks an operation name, the rest is
// the payload.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.hpp"
#include "operations.hpp"
#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/fx/registry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view payload(reinterpret_cast<const char*>(data) + 1, size - 1);
  // The host hands over only valid UTF-8 (it encodes a str).
  if (!qbo_check::is_utf8(payload)) return -1;
  const quorvex_bo::fx::FxOps registry;
  qbo_check::call_result(quorvex_bo::ffi::call(registry, qbo_check::operation_for(data[0]), payload));
  return 0;
}
