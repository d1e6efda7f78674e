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
  qbo_check::call_result(
      quorvex_bo::ffi::call(quorvex_bo::fx::FxOps{}, qbo_check::operation_for(data[0]), payload));
  return 0;
}
