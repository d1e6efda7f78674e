// Defaults and gateway codes of the FX input records.

#include "quorvex_bo/fx/model.hpp"

namespace quorvex_bo::fx {

std::string_view gateway_code(VirtualAsset asset) {
  switch (asset) {
    case VirtualAsset::usdt: return "UT";
    case VirtualAsset::usdc: return "UP";
    case VirtualAsset::bk: return "BK";
  }
  return "UT";  // unreachable: the enumeration has three values
}

std::string default_channel() { return "WEB"; }

}  // namespace quorvex_bo::fx
