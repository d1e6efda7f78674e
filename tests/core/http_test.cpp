#include "quorvex_bo/core/http.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quorvex_bo {
namespace {

json::TextMap five_headers() {
  return {{"client_id", "c"},
          {"access_token", "t"},
          {"Content-Type", "application/json"},
          {"Authorization", "Bearer t"},
          {"Accept", "application/json"}};
}

TEST(HttpRequestJson, get_request_writes_body_null_and_sorted_headers) {
  HttpRequest request{Method::GET, "https://gw.test/qr/pix/v2/1", five_headers(), std::nullopt};
  EXPECT_EQ(json::write(std::move(request).to_json()),
            R"({"body":null,"headers":{"Accept":"application/json","Authorization":"Bearer t",)"
            R"("Content-Type":"application/json","access_token":"t","client_id":"c"},)"
            R"("method":"GET","url":"https://gw.test/qr/pix/v2/1"})");
}

TEST(HttpRequestJson, body_is_written_as_the_exact_text_to_send) {
  HttpRequest request{Method::POST, "u", {}, R"({"monto":10.50,"glosa":"a\"b"})"};
  EXPECT_EQ(
      json::write(std::move(request).to_json()),
      R"({"body":"{\"monto\":10.50,\"glosa\":\"a\\\"b\"}",)"
      R"("headers":{},"method":"POST","url":"u"})");
}

TEST(HttpRequestJson, every_method_is_written_as_upper_case_text) {
  for (auto [method, text] : {std::pair{Method::GET, "GET"}, std::pair{Method::POST, "POST"},
                              std::pair{Method::PATCH, "PATCH"}}) {
    json::Value value = HttpRequest{method, "", {}, std::nullopt}.to_json();
    ASSERT_NE(value.find("method"), nullptr);
    EXPECT_EQ(*value.find("method"), json::Value(text));
  }
}

class HttpResponseSuccess : public testing::TestWithParam<std::pair<std::uint16_t, bool>> {};

TEST_P(HttpResponseSuccess, only_200_to_299_is_success) {
  EXPECT_EQ((HttpResponse{GetParam().first, ""}.is_success()), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Statuses, HttpResponseSuccess,
                         testing::Values(std::pair<std::uint16_t, bool>{0, false},
                                         std::pair<std::uint16_t, bool>{199, false},
                                         std::pair<std::uint16_t, bool>{200, true},
                                         std::pair<std::uint16_t, bool>{204, true},
                                         std::pair<std::uint16_t, bool>{299, true},
                                         std::pair<std::uint16_t, bool>{300, false},
                                         std::pair<std::uint16_t, bool>{65535, false}));

TEST(HttpResponseDecode, reads_status_and_body_and_ignores_other_members) {
  std::expected<HttpResponse, std::string> response =
      json::decode<HttpResponse>(R"({"headers":{"x":"y"},"status":65535,"body":"{\"a\":1}"})");
  ASSERT_TRUE(response.has_value()) << response.error();
  EXPECT_EQ(response->status, 65535);
  EXPECT_EQ(response->body, R"({"a":1})");
}

class HttpResponseDecodeFailure : public testing::TestWithParam<const char*> {};

TEST_P(HttpResponseDecodeFailure, is_refused) {
  EXPECT_FALSE(json::decode<HttpResponse>(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpResponseDecodeFailure,
    testing::Values(R"({"status":200})", R"({"body":""})", R"({"status":200,"body":{"a":1}})",
                    R"({"status":200,"body":null})", R"({"status":70000,"body":""})",
                    R"({"status":65536,"body":""})", R"({"status":-1,"body":""})",
                    R"({"status":200.5,"body":""})", R"({"status":"200","body":""})",
                    R"({"status":200,"body":"","status":201})"));

TEST(HttpResponseDecode, missing_body_names_the_member) {
  std::expected<json::Value, std::string> value = json::parse(R"({"status":200})");
  ASSERT_TRUE(value.has_value());
  json::Decoded<HttpResponse> response = json::read<HttpResponse>(std::move(*value));
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error().message, "missing field `body`");
}

}  // namespace
}  // namespace quorvex_bo
