#include "quorvex_bo/core/spare.hpp"

#include <utility>

namespace quorvex_bo::spare {

namespace {
thread_local std::string buffer;
thread_local std::string short_texts;
}  // namespace

std::string take() {
  std::string out = std::exchange(buffer, std::string());
  out.clear();
  return out;
}

void keep(std::string&& text) {
  if (text.capacity() <= buffer.capacity() || text.capacity() > kept_bytes) return;
  buffer = std::move(text);
  buffer.clear();
}

std::string& scratch() { return short_texts; }

}  // namespace quorvex_bo::spare
