// Calls the core from 8 threads at once on valid payloads (the call harness's
// seed corpus) and mutations of them. The core keeps no state, so under
// ThreadSanitizer there must be no race, and every answer must equal the one
// the same call gave on a single thread.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/check.hpp"
#include "../fuzz/operations.hpp"
#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/fx/registry.hpp"

namespace {

struct Case {
  std::string_view op;
  std::string payload;
  std::string answer;  // on a single thread
};

// A corpus input changed the way a fuzzer would: the tail cut, a span
// deleted, or a byte replaced.
std::string mutated(std::string text, std::mt19937& random) {
  if (text.empty()) return text;
  const std::size_t at = random() % text.size();
  const unsigned how = random() % 3;
  if (how == 0) return text.substr(0, at);
  if (how == 1) return text.erase(at, 1 + random() % 8);
  text[at] = static_cast<char>(random());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return std::fprintf(stderr, "usage: %s CORPUS_DIR [CALLS]\n", argv[0]), 2;
  const long calls = argc > 2 ? std::atol(argv[2]) : 10000;
  const quorvex_bo::fx::FxOps registry;

  std::vector<Case> cases;
  std::mt19937 random(9);
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string input{std::istreambuf_iterator<char>(file), {}};
    if (input.empty()) continue;
    const std::string_view op = qbo_check::operation_for(static_cast<unsigned char>(input[0]));
    const std::string payload = input.substr(1);
    cases.push_back({op, payload, {}});
    for (int i = 0; i < 4; ++i) cases.push_back({op, mutated(payload, random), {}});
  }
  if (cases.size() < 20) return std::fprintf(stderr, "too few corpus inputs in %s\n", argv[1]), 2;
  for (Case& c : cases) {
    c.answer = quorvex_bo::ffi::call(registry, c.op, c.payload);
    qbo_check::call_result(c.answer);
  }

  std::atomic<long> wrong = 0;
  std::vector<std::jthread> threads;
  for (unsigned t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 pick(t);
      for (long i = 0; i < calls; ++i) {
        const Case& c = cases[pick() % cases.size()];
        if (quorvex_bo::ffi::call(registry, c.op, c.payload) != c.answer) ++wrong;
      }
    });
  threads.clear();  // joins
  std::printf("%zu cases, 8 threads x %ld calls, %ld answers differed\n", cases.size(), calls,
              wrong.load());
  return wrong == 0 ? 0 : 1;
}
