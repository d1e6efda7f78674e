#include "quorvex_bo/core/spare.hpp"

#include <utility>

namespace quorvex_bo::spare {

namespace {
thread_local std::string buffer;
}  // namespace

std::string take() {
  std::string out = std::exchange(buffer, std::string());
  out.clear();
  return out;
}

void keep(std::string&& text) {
  if (text.capacity() < large_bytes || text.capacity() > kept_bytes) return;
  buffer = std::move(text);
  buffer.clear();
}

}  // namespace quorvex_bo::spare
