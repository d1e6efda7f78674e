// Timings of the call protocol, the JSON layer and the operations' stages.
#include <benchmark/benchmark.h>

#include <string>

#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/fx/registry.hpp"

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

void call(benchmark::State& state, std::string_view op, const std::string& payload) {
  const FxOps ops;
  for (auto _ : state) benchmark::DoNotOptimize(quorvex_bo::ffi::call(ops, op, payload));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(payload.size()));
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

void BM_pix_generate_build(benchmark::State& state) {
  call(state, "pix.generate.build",
       "{" + config +
           R"(,"input":{"reference":"123456","glosa":" 001 | Centro | Ventas | Pago ","amount":"100.50",)"
           R"("expires_in":900,"payer_cpf":"12345678901","payer_phone":"+5511999999999",)"
           R"("payer_email":"ana@example.com",)" +
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
  std::string payload = R"({"input":{"reference":"123456","glosa":"a|b|c|d","amount":1,"payer_cpf":"1",)"
                        R"("payer_phone":"1"},"response":{"status":200,"body":)";
  json::write_string(payload, body);
  payload += "}}";
  call(state, "pix.generate.parse", payload);
}

void BM_status_parse(benchmark::State& state) {
  std::string payload = R"({"input":{"reference":"123"},"response":{"status":200,"body":)";
  json::write_string(payload,
                     R"({"codigoRespuesta":"PAID","detalleRespuesta":"ok","data":{"numeroReferencia":"123",)"
                     R"("monto":"100.50","moneda":"BOB","montoConversion":"14.37","monedaConversion":"usd",)"
                     R"("tipoCambio":"6.96","reversa":false,"fechaSolicitud":"2026-12-06T10:00:00"}})");
  payload += "}}";
  call(state, "pix.verify.parse", payload);
}

void BM_fx_webhook(benchmark::State& state) {
  std::string payload = R"({"headers":{"X-Hook":"s3cret","Content-Type":"application/json"},"key":"x-hook","value":"s3cret","body":)";
  json::write_string(payload,
                     R"({"estado":"PAGADO","numeroReferencia":123,"importe":"10.50","moneda":"BOB"})");
  payload += "}";
  call(state, "fx.webhook.parse", payload);
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
BENCHMARK(BM_generate_parse_image)->Arg(64 * 1024)->Arg(1024 * 1024);
BENCHMARK(BM_status_parse);
BENCHMARK(BM_fx_webhook);

BENCHMARK_MAIN();
