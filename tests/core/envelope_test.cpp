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

std::string show(const Error& error) { return json::write(error.to_json()); }

ApiFieldError item(std::string message, std::optional<std::string> code = std::nullopt) {
  return ApiFieldError{std::nullopt, std::move(message), std::move(code)};
}

// ---- Retry classification ------------------------------------------------------

class EnvelopeRetryable : public testing::TestWithParam<std::pair<std::uint16_t, bool>> {};

TEST_P(EnvelopeRetryable, only_408_429_and_500_up_may_be_retried) {
  EXPECT_EQ(envelope::retryable_status(GetParam().first), GetParam().second) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, EnvelopeRetryable,
    testing::Values(
        std::pair<std::uint16_t, bool>{0, false}, std::pair<std::uint16_t, bool>{200, false},
        std::pair<std::uint16_t, bool>{400, false}, std::pair<std::uint16_t, bool>{407, false},
        std::pair<std::uint16_t, bool>{408, true}, std::pair<std::uint16_t, bool>{409, false},
        std::pair<std::uint16_t, bool>{428, false}, std::pair<std::uint16_t, bool>{429, true},
        std::pair<std::uint16_t, bool>{430, false}, std::pair<std::uint16_t, bool>{499, false},
        std::pair<std::uint16_t, bool>{500, true}, std::pair<std::uint16_t, bool>{503, true},
        std::pair<std::uint16_t, bool>{65535, true}));

// ---- Helpers -----------------------------------------------------------------

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(EnvelopePreview, trims_and_keeps_short_text_whole) {
  EXPECT_EQ(envelope::preview(" \t\n Bad Gateway \r\n"), "Bad Gateway");
  // U+3000 and U+00A0 are white space too.
  EXPECT_EQ(envelope::preview("\u3000\u00a0x y\u00a0"), "x y");
}

TEST(EnvelopePreview, blank_body_is_the_empty_body_message) {
  EXPECT_EQ(envelope::preview(""), "empty response body");
  EXPECT_EQ(envelope::preview(" \n\t\u2003"), "empty response body");
}

TEST(EnvelopePreview, cuts_at_200_characters_not_bytes) {
  std::string two_hundred = repeat("\u00e9", 199) + "\u20ac";  // 2-byte letters, a 3-byte last one
  EXPECT_EQ(envelope::preview(two_hundred), two_hundred);
  EXPECT_EQ(envelope::preview("  " + two_hundred + "\U0001F600tail"), two_hundred);
  std::string emoji = repeat("\U0001F600", 250);
  EXPECT_EQ(envelope::preview(emoji), repeat("\U0001F600", 200));
  EXPECT_EQ(envelope::preview(repeat("a", 201)), repeat("a", 200));
}

TEST(EnvelopeTextField, first_key_with_non_blank_text_wins_trimmed) {
  json::Value body = *json::parse(R"({"a":"  ","b":7,"c":" found ","d":"later","e":null})");
  EXPECT_EQ(envelope::text_field(body, {"missing", "a", "b", "e", "c", "d"}), "found");
  EXPECT_EQ(envelope::text_field(body, {"d", "c"}), "later");
  EXPECT_EQ(envelope::text_field(body, {"a", "b", "e"}), std::nullopt);
  EXPECT_EQ(envelope::text_field(*json::parse(R"(["c"])"), {"c"}), std::nullopt);
  EXPECT_EQ(envelope::text_field(*json::parse(R"("c")"), {"c"}), std::nullopt);
}

TEST(EnvelopeFailed, names_the_status) {
  EXPECT_EQ(envelope::failed(HttpResponse{502, "x"}), "request failed with HTTP 502");
  EXPECT_EQ(envelope::failed(HttpResponse{0, ""}), "request failed with HTTP 0");
}

// ---- The decision procedure -------------------------------------------------------

struct Case {
  const char* name;
  std::uint16_t status;
  std::string body;
  Error error;
};

class EnvelopeOpen : public testing::TestWithParam<Case> {};

TEST_P(EnvelopeOpen, yields_exactly_one_error) {
  const Case& c = GetParam();
  Result<Probe> result = open(c.status, c.body);
  ASSERT_FALSE(result.has_value()) << "payload decoded: " << result->estado;
  EXPECT_EQ(show(result.error()), show(c.error));
  EXPECT_EQ(result.error(), c.error);
}

const std::string html_page = "\n  <html>" + repeat("<p>Unauthorized</p>", 26) + "</html>";

INSTANTIATE_TEST_SUITE_P(
    Authentication, EnvelopeOpen,
    testing::Values(Case{"error_description_before_error", 401,
                         R"({"error":"invalid_token","error_description":"  Token expired "})",
                         Error::authentication(401, "Token expired")},
                    Case{"message_before_error", 403,
                         R"({"error":"forbidden","message":"No access"})",
                         Error::authentication(403, "No access")},
                    Case{"blank_description_falls_through", 401,
                         R"({"error_description":" ","message":5,"error":"denied"})",
                         Error::authentication(401, "denied")},
                    Case{"empty_body", 403, "", Error::authentication(403, "empty response body")},
                    Case{"html_page_is_previewed", 401, html_page,
                         Error::authentication(401, html_page.substr(3, 200))},
                    // The body is not examined for markers: the status alone decides.
                    Case{"markers_are_ignored", 401, R"({"error":true,"message":"x"})",
                         Error::authentication(401, "x")},
                    Case{"no_text_member_previews_the_json", 403, R"( {"error":true} )",
                         Error::authentication(403, R"({"error":true})")}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    NotJson, EnvelopeOpen,
    testing::Values(
        Case{"plain_text_503_is_retryable", 503, "  Service Unavailable\n",
             Error::api(503, "Service Unavailable", {}, true)},
        Case{"plain_text_400_is_not_retryable", 400, "bad", Error::api(400, "bad", {}, false)},
        Case{"plain_text_408_is_retryable", 408, "timeout", Error::api(408, "timeout", {}, true)},
        Case{"plain_text_429_is_retryable", 429, "slow down",
             Error::api(429, "slow down", {}, true)},
        Case{"empty_body_503", 503, "", Error::api(503, "empty response body", {}, true)},
        Case{"trailing_garbage_is_not_json", 500, R"({"error":true} x)",
             Error::api(500, R"({"error":true} x)", {}, true)}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    ErrorTrue, EnvelopeOpen,
    testing::Values(Case{"marker_beats_status_500", 500, R"({"error":true,"message":" boom "})",
                         Error::api(500, "boom", {item("boom")}, false)},
                    Case{"marker_on_200", 200, R"({"error":true,"estado":"ok"})",
                         Error::api(200, "request failed with HTTP 200",
                                    {item("request failed with HTTP 200")}, false)},
                    Case{"data_strings_become_items", 422,
                         R"({"error":true,"code":"  E42 ","data":["first ",7,"second"]})",
                         Error::api(422, "request failed with HTTP 422",
                                    {item("first ", "E42"), item("second", "E42")}, false)},
                    Case{"empty_string_in_data_still_gives_an_item", 400,
                         R"({"error":true,"message":"m","data":["",null]})",
                         Error::api(400, "m", {item("")}, false)},
                    Case{"data_of_numbers_gives_one_item", 400,
                         R"({"error":true,"message":"m","code":"C","data":[1,2]})",
                         Error::api(400, "m", {item("m", "C")}, false)},
                    Case{"data_not_a_list_gives_one_item", 400,
                         R"({"error":true,"message":"m","data":"text"})",
                         Error::api(400, "m", {item("m")}, false)},
                    Case{"blank_code_is_no_code", 400, R"({"error":true,"message":"m","code":" "})",
                         Error::api(400, "m", {item("m")}, false)},
                    Case{"error_beats_success_false", 200,
                         R"({"error":true,"success":false,"message":"first rule"})",
                         Error::api(200, "first rule", {item("first rule")}, false)}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SuccessFalse, EnvelopeOpen,
    testing::Values(
        Case{"only_member", 200, R"({"success":false})",
             Error::api(200, "request failed with HTTP 200", {}, false)},
        Case{"message_is_verbatim", 503, R"({"success":false,"message":"  spaced ","data":{}})",
             Error::api(503, "  spaced ", {}, false)},
        Case{"empty_message_is_kept", 200, R"({"success":false,"message":""})",
             Error::api(200, "", {}, false)},
        Case{
            "errors_are_passed_on", 400,
            R"({"success":false,"message":"m","errors":)"
            R"([{"field":"monto","message":"bad","code":"X"},)"
            R"(["f",  "g", null]]})",
            Error::api(400, "m", {ApiFieldError{"monto", "bad", "X"}, ApiFieldError{"f", "g", {}}},
                       false)},
        Case{"beats_codigo_respuesta", 200,
             R"({"success":false,"codigoRespuesta":"ERROR","detalleRespuesta":"d"})",
             Error::api(200, "request failed with HTTP 200", {}, false)}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    CodigoRespuesta, EnvelopeOpen,
    testing::Values(
        Case{"gq_code_after_last_separator", 200,
             R"({"codigoRespuesta":"ERROR","detalleRespuesta":"  Pago rechazado - GQ-104 "})",
             Error::api(200, "Pago rechazado - GQ-104", {item("Pago rechazado - GQ-104", "GQ-104")},
                        false)},
        Case{"last_separator_decides", 500,
             R"({"codigoRespuesta":"error","detalleRespuesta":"a - GQ-1 - b"})",
             Error::api(500, "a - GQ-1 - b", {item("a - GQ-1 - b", "ERROR")}, false)},
        Case{"several_separators", 200,
             R"({"codigoRespuesta":"eRRoR","detalleRespuesta":"a - b - GQ-7 x"})",
             Error::api(200, "a - b - GQ-7 x", {item("a - b - GQ-7 x", "GQ-7 x")}, false)},
        Case{"gq_without_separator_is_default_code", 200,
             R"({"codigoRespuesta":"Error","detalleRespuesta":"GQ-9 sin separador"})",
             Error::api(200, "GQ-9 sin separador", {item("GQ-9 sin separador", "ERROR")}, false)},
        Case{"prefix_is_case_sensitive", 200,
             R"({"codigoRespuesta":"ERROR","detalleRespuesta":"x - gq-1"})",
             Error::api(200, "x - gq-1", {item("x - gq-1", "ERROR")}, false)},
        Case{"bare_prefix_is_a_code", 200,
             R"({"codigoRespuesta":"ERROR","detalleRespuesta":"x - GQ-"})",
             Error::api(200, "x - GQ-", {item("x - GQ-", "GQ-")}, false)},
        Case{"message_when_no_detail", 200,
             R"({"codigoRespuesta":"ERROR","detalleRespuesta":" ","message":"m - GQ-2"})",
             Error::api(200, "m - GQ-2", {item("m - GQ-2", "GQ-2")}, false)},
        Case{"failed_when_no_text", 404, R"({"codigoRespuesta":"ERROR"})",
             Error::api(404, "request failed with HTTP 404",
                        {item("request failed with HTTP 404", "ERROR")}, false)}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Status, EnvelopeOpen,
    testing::Values(Case{"no_marker_no_text_502", 502, R"({"foo":1})",
                         Error::api(502, "request failed with HTTP 502", {}, true)},
                    Case{"detail_before_message", 404,
                         R"({"detalleRespuesta":" no existe ","message":"other"})",
                         Error::api(404, "no existe", {}, false)},
                    Case{"message_member", 429, R"({"message":"slow"})",
                         Error::api(429, "slow", {}, true)},
                    Case{"error_text_true_is_no_marker", 400, R"({"error":"true"})",
                         Error::api(400, "request failed with HTTP 400", {}, false)},
                    Case{"success_zero_is_no_marker", 500, R"({"success":0})",
                         Error::api(500, "request failed with HTTP 500", {}, true)},
                    Case{"error_false_is_no_marker", 300, R"({"error":false,"estado":"ok"})",
                         Error::api(300, "request failed with HTTP 300", {}, false)},
                    Case{"non_object_body", 500, R"([1,2])",
                         Error::api(500, "request failed with HTTP 500", {}, true)}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// ---- Outcomes whose message comes from the JSON library ----------------------------

void expect_decode_error(const Result<Probe>& result, std::string_view prefix) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::decode);
  EXPECT_TRUE(result.error().message.starts_with(prefix)) << result.error().message;
}

TEST(EnvelopeOpenDecode, unparsable_success_body_is_a_decode_error) {
  expect_decode_error(open(200, ""), "invalid JSON body: ");
  expect_decode_error(open(204, "  "), "invalid JSON body: ");
  expect_decode_error(open(200, R"({"estado":"ok"} {})"), "invalid JSON body: ");
  Result<Probe> result = open(200, "{\"estado\":");
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error().message.find(" at line 1 column "), std::string::npos)
      << result.error().message;
}

TEST(EnvelopeOpenDecode, success_false_record_that_does_not_decode) {
  expect_decode_error(open(200, R"({"success":false,"errors":null})"),
                      "unexpected payload shape: invalid type: null");
  expect_decode_error(open(500, R"({"success":false,"message":3})"),
                      "unexpected payload shape: invalid type: integer `3`");
  expect_decode_error(open(200, R"({"success":false,"errors":[{"field":"x"}]})"),
                      "unexpected payload shape: missing field `message`");
  expect_decode_error(open(200, R"({"success":false,"message":"a","message":"b"})"),
                      "unexpected payload shape: duplicate field `message`");
}

TEST(EnvelopeOpenDecode, success_payload_that_does_not_decode) {
  expect_decode_error(open(200, R"({"codigoRespuesta":"OK"})"),
                      "unexpected payload shape: missing field `estado`");
  expect_decode_error(open(201, R"({"estado":1})"),
                      "unexpected payload shape: invalid type: integer `1`");
}

// ---- Payloads ------------------------------------------------------------------

TEST(EnvelopeOpenPayload, success_status_without_marker_decodes_the_whole_body) {
  Result<Probe> result = open(200, R"( {"estado":"PENDIENTE","codigoRespuesta":"0000"} )");
  ASSERT_TRUE(result.has_value()) << show(result.error());
  EXPECT_EQ(result->estado, "PENDIENTE");
}

TEST(EnvelopeOpenPayload, codigo_respuesta_must_be_exactly_the_five_bytes_of_error) {
  for (const char* code : {" error", "error ", "errors", "err", "\u00e9rror"}) {
    std::string body = R"({"estado":"x","codigoRespuesta":")" + std::string(code) + R"("})";
    Result<Probe> result = open(299, body);
    ASSERT_TRUE(result.has_value()) << code << ": " << show(result.error());
  }
  // Not a string: no marker either.
  EXPECT_TRUE(open(200, R"({"estado":"x","codigoRespuesta":["error"]})").has_value());
}

TEST(EnvelopeOpenPayload, markers_of_other_json_types_do_not_stop_decoding) {
  Result<Probe> result = open(200, R"({"estado":"x","error":"true","success":0})");
  ASSERT_TRUE(result.has_value()) << show(result.error());
  EXPECT_EQ(result->estado, "x");
}

// ---- SuccessWire ------------------------------------------------------------------

TEST(EnvelopeSuccessWire, into_error_keeps_message_and_errors_and_is_never_retryable) {
  SuccessWire wire{false, "msg", json::Value(true), {item("a", "b")}};
  EXPECT_EQ(std::move(wire).into_error(HttpResponse{503, ""}),
            Error::api(503, "msg", {item("a", "b")}, false));
  EXPECT_EQ(SuccessWire{}.into_error(HttpResponse{418, ""}),
            Error::api(418, "request failed with HTTP 418", {}, false));
}

}  // namespace
}  // namespace quorvex_bo
