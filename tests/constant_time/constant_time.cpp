// The webhook value comparison under memcheck: both values are marked
// undefined, so memcheck flags every conditional jump whose direction depends
// on them. A constant-time comparison gives exactly one such jump per call (the
// decision on its final result); an early-exit comparison gives one per byte
// it examines, which the control below must show, or the check proves nothing.
//
// Run as `valgrind -q --error-limit=no qbo_constant_time`; exits 1 on a leak of
// timing, 2 when not under valgrind or when the control is not flagged.

#include <valgrind/memcheck.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "quorvex_bo/core/webhook.hpp"

namespace {

[[gnu::noinline]] bool early_exit_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// The conditional jumps on secret data while `compare` runs.
template <class Compare>
unsigned flagged_jumps(std::string& received, std::string& expected, Compare compare, bool& equal) {
  VALGRIND_MAKE_MEM_UNDEFINED(received.data(), received.size());
  VALGRIND_MAKE_MEM_UNDEFINED(expected.data(), expected.size());
  const unsigned before = VALGRIND_COUNT_ERRORS;
  equal = compare(received, expected);
  const unsigned jumps = VALGRIND_COUNT_ERRORS - before;
  VALGRIND_MAKE_MEM_DEFINED(&equal, sizeof equal);
  VALGRIND_MAKE_MEM_DEFINED(received.data(), received.size());
  VALGRIND_MAKE_MEM_DEFINED(expected.data(), expected.size());
  return jumps;
}

}  // namespace

int main() {
  if (!RUNNING_ON_VALGRIND) return std::fputs("run me under valgrind\n", stderr), 2;
  const std::string secret = "0123456789abcdef0123456789abcdef";
  const auto authenticate = [](std::string& received, std::string& expected) {
    return quorvex_bo::webhook::judge(received, "X-Hook", expected).has_value();
  };
  int status = 0;
  unsigned control_jumps = 0;
  for (const int differ_at : {-1, 0, 16, 31}) {
    std::string received = secret;
    std::string expected = secret;
    if (differ_at >= 0) received[differ_at] ^= 1;
    bool equal = false;
    const unsigned jumps = flagged_jumps(received, expected, authenticate, equal);
    std::printf("differing at %3d: %u flagged jump(s)\n", differ_at, jumps);
    if (jumps > 1 || equal != (differ_at < 0)) status = 1;
    control_jumps += flagged_jumps(received, expected, early_exit_equal, equal);
  }
  std::printf("early-exit control: %u flagged jumps\n", control_jumps);
  if (control_jumps < secret.size()) status = 2;  // one per byte examined, at least
  return status;
}
