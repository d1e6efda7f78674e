#include "quorvex_bo/core/envelope.hpp"

#include <gtest/gtest.h>

namespace quorvex_bo {
namespace {

// A payload record standing in for an operation's answer.
struct Probe {
  std::string estado;
};
constexpr auto describe(std::type_identity<Probe>) {
  return json::record<Probe>("Probe", json::required("estado", &Probe::estado));
}

Result<Probe> open(std::uint16_t status, std::string body) {
  Probe out{};
  if (std::optional<Error> error = CodigoRespuesta::open(HttpResponse{status, std::move(body)}, out))
    return std::unexpected(std::move(*error));
  return out;
}

std::string show(const Error& error) { return json::to_text(error); }

ApiFieldError item(std::string message, std::optional<std::string> code = std::nullopt) {
  return ApiFieldError{std::nullopt, std::move(message), std::move(code)};
}

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(Envelope, only_408_429_and_500_up_are_retryable) {
  for (std::uint16_t status : {400, 407, 408, 409, 428, 429, 430, 499, 500, 65535})
    EXPECT_EQ(envelope::retryable_status(status), status == 408 || status == 429 || status >= 500);
}

TEST(Envelope, preview_trims_and_cuts_at_200_characters_not_bytes) {
  EXPECT_EQ(envelope::preview(" \n\t\u2003"), "empty response body");
  const std::string two_hundred = repeat("\u00e9", 199) + "\u20ac";
  EXPECT_EQ(envelope::preview("  " + two_hundred + "\U0001F600tail"), two_hundred);
}

TEST(Envelope, open_yields_the_error_of_the_first_rule_that_applies) {
  const std::tuple<std::uint16_t, std::string, Error> rows[] = {
      // 401/403: a message member of the body, else its preview; markers are not examined.
      {403, R"({"error":true,"message":" x "})", Error::authentication(403, "x")},
      {403, "", Error::authentication(403, "empty response body")},
      {401, R"({"error":"e","message":" m ","error_description":" "})",
       Error::authentication(401, "m")},
      // Not JSON: the preview, retryable by status.
      {400, R"({"error":true} x)", Error::api(400, R"({"error":true} x)", {}, false)},
      // "error" true wins over the status and over "success" false; never retryable.
      {500, R"({"error":true,"success":false,"message":" boom "})",
       Error::api(500, "boom", {item("boom")}, false)},
      {500, R"({"z":1,"y":2,"x":3,"w":4,"v":5,"u":6,"t":7,"s":8,"message":" big ","error":true})",
       Error::api(500, "big", {item("big")}, false)},  // a large object is searched otherwise
      {422, R"({"error":true,"code":"  E42 ","data":["first ",7,"","second"]})",
       Error::api(422, "request failed with HTTP 422",
                  {item("first ", "E42"), item("", "E42"), item("second", "E42")}, false)},
      // "success" false: the record's message verbatim and its errors; wins over codigoRespuesta.
      {200, R"({"success":false,"codigoRespuesta":"ERROR","detalleRespuesta":"d"})",
       Error::api(200, "request failed with HTTP 200", {}, false)},
      {503, R"({"success":false,"message":"  spaced ","errors":[{"field":"monto","message":"bad",)"
            R"("code":"X"},["f","g",null]]})",
       Error::api(503, "  spaced ",
                  {ApiFieldError{"monto", "bad", "X"}, ApiFieldError{"f", "g", {}}}, false)},
      // codigoRespuesta "error" in any case: the code after the last " - " when it starts GQ-.
      {500, R"({"codigoRespuesta":"eRRoR","detalleRespuesta":"a - GQ-1 - b"})",
       Error::api(500, "a - GQ-1 - b", {item("a - GQ-1 - b", "ERROR")}, false)},
      {200, R"({"codigoRespuesta":"error","detalleRespuesta":"x - gq-1","message":"m"})",
       Error::api(200, "x - gq-1", {item("x - gq-1", "ERROR")}, false)},
      {200, R"({"codigoRespuesta":"ERROR","detalleRespuesta":" ","message":"m - GQ-2"})",
       Error::api(200, "m - GQ-2", {item("m - GQ-2", "GQ-2")}, false)},
      {404, R"({"codigoRespuesta":"ERROR"})",
       Error::api(404, "request failed with HTTP 404",
                  {item("request failed with HTTP 404", "ERROR")}, false)},
      // No marker (markers count only with their JSON type), status not 2xx.
      {502, R"({"error":"true","success":0})",
       Error::api(502, "request failed with HTTP 502", {}, true)},
      {404, R"({"detalleRespuesta":" no existe ","message":"other"})",
       Error::api(404, "no existe", {}, false)},
      {404, R"({"detalleRespuesta":7,"message":" other "})", Error::api(404, "other", {}, false)},
      // Of a repeated member the last counts.
      {400, R"({"success":false,"message":"m","errors":[{"message":"a","message":"b","field":"f","field":"g"}]})",
       Error::api(400, "m", {ApiFieldError{"g", "b", {}}}, false)},
      // A 2xx body that is not JSON, or not the record: the decoder's words.
      {200, "", Error::decode("invalid JSON body: EOF while parsing a value at line 1 column 1")},
      {200, R"({"success":false,"errors":null})",
       Error::decode("unexpected payload shape: invalid type: null, expected a sequence at line 1 column 27")},
      {200, R"({"codigoRespuesta":"OK"})",
       Error::decode("unexpected payload shape: missing field `estado` at line 1 column 24")}};
  for (const auto& [status, body, error] : rows) {
    Result<Probe> result = open(status, body);
    ASSERT_FALSE(result.has_value()) << body << " decoded as " << result->estado;
    EXPECT_EQ(show(result.error()), show(error)) << body;
  }
}

// The fast path reads an answer straight from its text, the general one parses it first: they
// agree, error wording included, on the corners of JSON text the reader decides alone.
TEST(Envelope, the_fast_path_reads_every_answer_as_the_general_path) {
  const std::string siblings = "[" + repeat("[{}],", 200) + "[]]";
  const std::string deep = std::string(126, '[') + std::string(126, ']');
  const std::string deeper = std::string(127, '[') + std::string(127, ']');
  const std::string bodies[] = {
      R"({"estado":"a\x"})", R"({"estado":"a","k\q":1})", "{\"estado\":\"a\x01\"}",
      "{\"estado\":\"a\",\"k\x7f\":\"\x1f\"}", R"({"estado":"\u00C9\u00e9\u00Af\/\b\f\n\r\t"})",
      R"({"estado":"\uD83D\uDE00"})", R"({"estado":"\uDE00"})", R"({"estado":"\uD83D"})",
      R"({"estado":"\uD83Dx"})", R"({"estado":"\u12"})", R"({"estado":"\u12G4"})",
      R"({"estado":"\u12g4"})", R"({"estado":"\u12:4"})", R"({"estado":"\u12@4"})",
      R"({"estado":"a","n":[1e5,-0.5E-3,1E+2,0,-0,12.25e-1]})", R"({"estado":"a","n":1e400})",
      R"({"estado":"a","n":-})", R"({"estado":"a","n":01})", R"({"estado":"a","n":1.})",
      R"({"estado":"a","n":1e})", R"({"estado":"a","n":.5})", R"({"estado":"a","n":1e5x})",
      R"({"estado":"a","k":)" + siblings + "}", R"({"estado":"a","k":)" + deep + "}",
      R"({"estado":"a","k":)" + deeper + "}", R"({"estado":"a",})", R"({"estado":"a",,"b":1})",
      "{\"estado\":\"a\"} \n", R"({"estado":"a"}x)", R"({"estado":"a" "b":1})",
      R"({"estado":"a","e\u0072ror":true})", R"({"estado":"a","succes\u0073":false})",
      R"({"estado":"a","k":{"error":true,"success":false}})", R"({"estado":"a","error":true})",
      R"({"success":false,"estado":"a"})",
      "{\"estado\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}", "{\"estado\":\"\xc3\x28\"}",
      "{\"estado\":\"\xed\xa0\x80\"}", "{\"estado\":\"\xf4\x90\x80\x80\"}",
      R"({"estado":"a","b":tru})", R"({"estado":"a","b":[true,false,null]})", R"({"estado":nul})",
      "{\n\"estado\" :\t\"a\"\r}", R"({"estado":"a","k":{"x":[}})", R"(["a"])", R"({"estado":5})"};
  for (const std::string& body : bodies) {
    Probe fast{}, general{};
    std::optional<Error> a = CodigoRespuesta::open(HttpResponse{200, body}, fast);
    std::optional<Error> b = CodigoRespuesta::open_parsed(HttpResponse{200, body}, general);
    EXPECT_EQ(a ? show(*a) : fast.estado, b ? show(*b) : general.estado) << body;
  }
}

}  // namespace
}  // namespace quorvex_bo
