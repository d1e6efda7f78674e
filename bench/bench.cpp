// Timings of the call protocol, the JSON layer and the operations' stages.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/fx/registry.hpp"

// Every heap allocation of the process goes through these, so a call's count is
// the difference of the counter around it.
namespace {
std::atomic<std::uint64_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace json = quorvex_bo::json;
using quorvex_bo::fx::FxOps;

// A 64 KB document made mostly of strings, with escapes and non-ASCII text.
std::string string_heavy_document() {
  std::string doc = "{\"items\":[";
  for (int i = 0; doc.size() < 64 * 1024; ++i) {
    if (i) doc += ',';
    doc += R"({"id":)" + std::to_string(i) +
           R"(,"name":"Cliente número )" + std::to_string(i) +
           R"(","glosa":"001|Centro|Ventas|Pago de servicio \"mensual\"","note":"línea 1\nlínea 2",)"
           R"("monto":100.50,"tags":["pix","binance","koibanx"]})";
  }
  doc += "]}";
  return doc;
}

// A Base64-looking image of about `bytes` bytes.
std::string image(std::size_t bytes) {
  std::string out = "iVBORw0KGgo";
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  while (out.size() < bytes) out += alphabet[out.size() % 64];
  return out;
}

const std::string config =
    R"("config":{"client_id":"client-1","environment":"sandbox"},"token":{"access_token":"tok","token_type":"Bearer","expires_at":1893456000})";
const std::string webhook = R"("webhook":{"url":"https://shop.example/hook","key":"X-Hook","value":"s3cret"})";

// The body as a JSON string member of a payload.
std::string quoted(std::string_view body) {
  std::string out;
  json::write_string(out, body);
  return out;
}

// Calls as the module makes them: the result written into a buffer kept from
// call to call.
void call(benchmark::State& state, std::string_view op, const std::string& payload) {
  const FxOps ops;
  std::string out;
  quorvex_bo::ffi::call(ops, op, payload, out);
  const std::uint64_t before = allocations;
  std::int64_t calls = 0;
  for (auto _ : state) {
    quorvex_bo::ffi::call(ops, op, payload, out);
    benchmark::DoNotOptimize(out.data());
    ++calls;
  }
  state.counters["allocs/call"] =
      calls ? static_cast<double>(allocations - before) / static_cast<double>(calls) : 0;
  state.SetBytesProcessed(calls * static_cast<std::int64_t>(payload.size()));
}

void BM_call_version(benchmark::State& state) { call(state, "version", ""); }
void BM_call_describe(benchmark::State& state) { call(state, "describe", ""); }

void BM_json_parse_64k(benchmark::State& state) {
  const std::string doc = string_heavy_document();
  for (auto _ : state) benchmark::DoNotOptimize(json::parse(doc));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}

void BM_json_write_64k(benchmark::State& state) {
  const std::string doc = string_heavy_document();
  const json::Value value = *json::parse(doc);
  for (auto _ : state) benchmark::DoNotOptimize(json::write(value));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}

// The full input: every optional member, the webhook and the e-mail.
void BM_pix_generate_build(benchmark::State& state) {
  call(state, "pix.generate.build",
       "{" + config +
           R"(,"input":{"reference":"123456","glosa":" 001 | Centro | Ventas | Pago ","amount":"100.50",)"
           R"("expires_in":900,"payer_cpf":"12345678901","payer_phone":"+5511999999999",)"
           R"("payer_email":"ana@example.com","extra":"pedido 77",)" +
           webhook + "}}");
}

void BM_crypto_generate_build(benchmark::State& state) {
  call(state, "crypto.generate.build",
       "{" + config +
           R"(,"input":{"reference":"123456","glosa":"001|Centro|Ventas|Pago","amount":150,)"
           R"("asset":"usdc","expires_in":300,)" +
           webhook + "}}");
}

void BM_binance_generate_build(benchmark::State& state) {
  call(state, "binance.generate.build",
       "{" + config +
           R"(,"input":{"reference":"1234567890","glosa":"001|Centro|Ventas|Pago","amount":"1000.00",)"
           R"("currency":"USD","expires_in":300,)" +
           webhook + "}}");
}

void BM_pix_verify_build(benchmark::State& state) {
  call(state, "pix.verify.build", "{" + config + R"(,"input":{"reference":"00123"}})");
}

// The parse stage of a generation answer carrying an image of range(0) bytes:
// the body travels as a JSON string inside the payload, so it is unescaped once
// and then parsed once more as the gateway's JSON.
void BM_generate_parse_image(benchmark::State& state) {
  const std::string body = R"({"codigoRespuesta":"SUCCESS","numeroReferencia":"123456","monto":100.5,)"
                           R"("moneda":"BOB","imagen":")" +
                           image(static_cast<std::size_t>(state.range(0))) + R"("})";
  call(state, "pix.generate.parse",
       R"({"input":{"reference":"123456","glosa":"a|b|c|d","amount":1,"payer_cpf":"1",)"
       R"("payer_phone":"1"},"response":{"status":200,"body":)" +
           quoted(body) + "}}");
}

// A status answer of about 300 bytes.
void BM_status_parse(benchmark::State& state) {
  call(state, "pix.verify.parse",
       R"({"input":{"reference":"123"},"response":{"status":200,"body":)" +
           quoted(R"({"codigoRespuesta":"PAID","detalleRespuesta":"Pago realizado correctamente",)"
                  R"("data":{"numeroReferencia":"123","monto":"100.50","moneda":"BOB",)"
                  R"("montoConversion":"14.37","monedaConversion":"usd","tipoCambio":"6.96",)"
                  R"("reversa":false,"fechaSolicitud":"2026-12-06T10:00:00"}})") +
           "}}");
}

const std::string hook_headers =
    R"({"headers":{"X-Hook":"s3cret","Content-Type":"application/json"},"key":"x-hook","value":"s3cret","body":)";

void BM_fx_webhook(benchmark::State& state) {
  call(state, "fx.webhook.parse",
       hook_headers +
           quoted(R"({"estado":"PAGADO","numeroReferencia":123,"importe":"10.50","moneda":"BOB"})") +
           "}");
}

void BM_binance_webhook(benchmark::State& state) {
  call(state, "binance.webhook.parse",
       hook_headers +
           quoted(R"({"numeroReferencia":"77","estado":"SUCCESS","transacciones":{"monto":"10.50",)"
                  R"("moneda":"USD","fechaHoraTransaccion":"2026-12-06T10:00:00",)"
                  R"("cliente":{"nombreCliente":"Ana","ciCliente":"123"}}})") +
           "}");
}

}  // namespace

BENCHMARK(BM_call_version);
BENCHMARK(BM_call_describe);
BENCHMARK(BM_json_parse_64k);
BENCHMARK(BM_json_write_64k);
BENCHMARK(BM_pix_generate_build);
BENCHMARK(BM_crypto_generate_build);
BENCHMARK(BM_binance_generate_build);
BENCHMARK(BM_pix_verify_build);
BENCHMARK(BM_generate_parse_image)->Arg(20 * 1024)->Arg(1024 * 1024);
BENCHMARK(BM_generate_parse_image)->Arg(64 * 1024 * 1024)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_status_parse);
BENCHMARK(BM_fx_webhook);
BENCHMARK(BM_binance_webhook);

BENCHMARK_MAIN();
