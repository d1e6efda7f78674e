#pragma once
// The FX product's registry: seven gateway operations and two webhook handlers.

#include <optional>
#include <string_view>
#include <vector>

#include "quorvex_bo/core/operation.hpp"

namespace quorvex_bo::fx {

class FxOps final : public Registry {
 public:
  std::optional<Outcome> dispatch(std::string_view op, std::string_view payload,
                                  std::string& out) const override;
  Catalogue operations() const override;
};

}  // namespace quorvex_bo::fx
