#include "quorvex_bo/core/envelope.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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
  return CodigoRespuesta::open<Probe>(HttpResponse{status, std::move(body)});
}

using namespace std::string_literals;

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
  const std::pair<std::uint16_t, bool> rows[] = {
      {400, false}, {407, false}, {408, true}, {409, false}, {428, false}, {429, true},
      {430, false}, {499, false}, {500, true}, {65535, true}};
  for (auto [status, retryable] : rows) EXPECT_EQ(envelope::retryable_status(status), retryable);
}

TEST(Envelope, preview_trims_and_cuts_at_200_characters_not_bytes) {
  EXPECT_EQ(envelope::preview("\u3000\u00a0 Bad Gateway \r\n"), "Bad Gateway");
  EXPECT_EQ(envelope::preview(" \n\t\u2003"), "empty response body");
  const std::string two_hundred = repeat("\u00e9", 199) + "\u20ac";  // 2-byte letters, 3-byte last
  EXPECT_EQ(envelope::preview(two_hundred), two_hundred);
  EXPECT_EQ(envelope::preview("  " + two_hundred + "\U0001F600tail"), two_hundred);
}

struct Case {
  std::uint16_t status;
  std::string body;
  Error error;
};

TEST(Envelope, open_yields_the_error_of_the_first_rule_that_applies) {
  const std::string html = "\n  <html>" + repeat("<p>Unauthorized</p>", 26) + "</html>";
  const std::vector<Case> rows = {
      // 401/403: a message member of the body, else its preview; markers are not examined.
      {401, R"({"error":"invalid_token","error_description":"  Token expired "})",
       Error::authentication(401, "Token expired")},
      {401, R"({"error_description":" ","message":5,"error":"denied"})",
       Error::authentication(401, "denied")},
      {403, "", Error::authentication(403, "empty response body")},
      {401, html, Error::authentication(401, html.substr(3, 200))},
      {401, R"({"error":true,"message":"x"})", Error::authentication(401, "x")},
      // Not JSON: the preview, retryable by status.
      {503, "  Service Unavailable\n", Error::api(503, "Service Unavailable", {}, true)},
      {400, R"({"error":true} x)", Error::api(400, R"({"error":true} x)", {}, false)},
      // "error" true wins over the status and over "success" false; never retryable.
      {500, R"({"error":true,"success":false,"message":" boom "})",
       Error::api(500, "boom", {item("boom")}, false)},
      {422, R"({"error":true,"code":"  E42 ","data":["first ",7,"","second"]})",
       Error::api(422, "request failed with HTTP 422",
                  {item("first ", "E42"), item("", "E42"), item("second", "E42")}, false)},
      {400, R"({"error":true,"message":"m","code":"C","data":[1,2]})",
       Error::api(400, "m", {item("m", "C")}, false)},
      // "success" false: the record's message verbatim and its errors; wins over codigoRespuesta.
      {200, R"({"success":false,"codigoRespuesta":"ERROR","detalleRespuesta":"d"})",
       Error::api(200, "request failed with HTTP 200", {}, false)},
      {503, R"({"success":false,"message":"  spaced ","errors":[{"field":"monto","message":"bad",)"
            R"("code":"X"},["f","g",null]]})",
       Error::api(503, "  spaced ",
                  {ApiFieldError{"monto", "bad", "X"}, ApiFieldError{"f", "g", {}}}, false)},
      // codigoRespuesta "error" in any case: the code after the last " - " when it starts GQ-.
      {200, R"({"codigoRespuesta":"ERROR","detalleRespuesta":"  Pago rechazado - GQ-104 "})",
       Error::api(200, "Pago rechazado - GQ-104",
                  {item("Pago rechazado - GQ-104", "GQ-104")}, false)},
      {500, R"({"codigoRespuesta":"eRRoR","detalleRespuesta":"a - GQ-1 - b"})",
       Error::api(500, "a - GQ-1 - b", {item("a - GQ-1 - b", "ERROR")}, false)},
      {200, R"({"codigoRespuesta":"Error","detalleRespuesta":"GQ-9 sin separador"})",
       Error::api(200, "GQ-9 sin separador", {item("GQ-9 sin separador", "ERROR")}, false)},
      {200, R"({"codigoRespuesta":"error","detalleRespuesta":"x - gq-1"})",
       Error::api(200, "x - gq-1", {item("x - gq-1", "ERROR")}, false)},
      {200, R"({"codigoRespuesta":"ERROR","detalleRespuesta":"x - GQ-"})",
       Error::api(200, "x - GQ-", {item("x - GQ-", "GQ-")}, false)},
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
      {500, "[1]", Error::api(500, "request failed with HTTP 500", {}, true)}};
  for (const Case& c : rows) {
    Result<Probe> result = open(c.status, c.body);
    ASSERT_FALSE(result.has_value()) << c.body << " decoded as " << result->estado;
    EXPECT_EQ(show(result.error()), show(c.error)) << c.body;
    EXPECT_EQ(result.error(), c.error) << c.body;
  }
}

TEST(Envelope, open_reports_decode_errors_with_the_library_message) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"", "invalid JSON body: "},
      {R"({"success":false,"errors":null})", "unexpected payload shape: invalid type: null"},
      {R"({"codigoRespuesta":"OK"})", "unexpected payload shape: missing field `estado`"}};
  for (auto [body, prefix] : rows) {
    Result<Probe> result = open(200, std::string(body));
    ASSERT_FALSE(result.has_value()) << body;
    EXPECT_EQ(result.error().kind, ErrorKind::decode);
    EXPECT_TRUE(result.error().message.starts_with(prefix)) << result.error().message;
  }
}

// An answer is one JSON value: of a repeated member the last one counts, for the
// markers and for the record decoded from it alike.
TEST(Envelope, repeated_member_of_an_answer_counts_once_the_last) {
  Result<Probe> result =
      open(200, R"({"codigoRespuesta":"ERROR","estado":"a","codigoRespuesta":"PENDING","estado":"b"})");
  ASSERT_TRUE(result.has_value()) << show(result.error());
  EXPECT_EQ(result->estado, "b");
}

TEST(Envelope, codigo_respuesta_must_be_exactly_the_five_bytes_of_error) {
  for (const char* code : {" error", "error ", "errors", "\u00e9rror"}) {
    Result<Probe> result = open(299, R"({"estado":"x","codigoRespuesta":")" + (code + "\"}"s));
    ASSERT_TRUE(result.has_value()) << code << ": " << show(result.error());
    EXPECT_EQ(result->estado, "x");
  }
}

}  // namespace
}  // namespace quorvex_bo
