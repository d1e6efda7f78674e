#include "quorvex_bo/core/http.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvex_bo {
namespace {

TEST(HttpRequest, json_has_sorted_members_and_a_null_body_for_get) {
  Headers headers = {{"client_id", "c"}, {"Authorization", "Bearer t"}, {"Accept", "a"}};
  EXPECT_EQ(json::to_text(HttpRequest{Method::GET, "https://gw/1", headers, std::nullopt}),
            R"({"body":null,"headers":{"Accept":"a","Authorization":"Bearer t","client_id":"c"},)"
            R"("method":"GET","url":"https://gw/1"})");
  EXPECT_EQ(json::to_text(HttpRequest{Method::PATCH, "u", {}, R"({"monto":10.50})"}),
            R"({"body":"{\"monto\":10.50}","headers":{},"method":"PATCH","url":"u"})");
}

TEST(HttpResponse, success_is_exactly_200_to_299) {
  for (std::uint16_t status : {199, 200, 299, 300})
    EXPECT_EQ((HttpResponse{status, ""}.is_success()), status == 200 || status == 299) << status;
}

TEST(HttpResponse, decodes_status_and_text_body_only) {
  std::expected<HttpResponse, std::string> response =
      json::decode<HttpResponse>(R"({"headers":{"x":"y"},"status":65535,"body":"{\"a\":1}"})");
  ASSERT_TRUE(response.has_value()) << response.error();
  EXPECT_EQ(response->status, 65535);
  EXPECT_EQ(response->body, R"({"a":1})");
  for (const char* bad : {R"({"status":200})", R"({"status":200,"body":{"a":1}})",
                          R"({"status":65536,"body":""})", R"({"status":-1,"body":""})",
                          R"({"status":200.5,"body":""})"})
    EXPECT_FALSE(json::decode<HttpResponse>(bad).has_value()) << bad;
  EXPECT_TRUE(json::decode<HttpResponse>(R"({"status":200})").error().starts_with(
      "missing field `body`"));
}

}  // namespace
}  // namespace quorvex_bo
