#include "quorvex_bo/core/error.hpp"

#include <gtest/gtest.h>

using quorvex_bo::ApiFieldError;
using quorvex_bo::Error;
namespace json = quorvex_bo::json;

namespace {
std::string text(const Error& e) { return json::to_text(e); }
}  // namespace

struct Written {
  Error error;
  const char* json;
  bool retryable;
};

class ErrorJson : public testing::TestWithParam<Written> {};

TEST_P(ErrorJson, writes_kind_and_only_the_kinds_members) {
  EXPECT_EQ(text(GetParam().error), GetParam().json);
  EXPECT_EQ(GetParam().error.is_retryable(), GetParam().retryable);
}

INSTANTIATE_TEST_SUITE_P(
    Error, ErrorJson,
    testing::Values(
        Written{Error::validation("token", "an access token is required for this operation"),
                R"({"field":"token","kind":"validation","message":"an access token is required for this operation"})",
                false},
        Written{Error::authentication(401, "nope"), R"({"kind":"authentication","message":"nope","status":401})",
                false},
        Written{Error::api(503, "empty response body", {}, true),
                R"({"errors":[],"kind":"api","message":"empty response body","retryable":true,"status":503})",
                true},
        Written{Error::api(404, "gone", {ApiFieldError{std::nullopt, "x", std::nullopt}}, false),
                R"({"errors":[{"code":null,"field":null,"message":"x"}],"kind":"api","message":"gone","retryable":false,"status":404})",
                false},
        Written{Error::ambiguous("maybe", {ApiFieldError{"f", "m", "c"}}),
                R"({"errors":[{"code":"c","field":"f","message":"m"}],"kind":"ambiguous","message":"maybe"})",
                false},
        Written{Error::decode("bad"), R"({"kind":"decode","message":"bad"})", false},
        Written{Error::webhook_auth("no"), R"({"kind":"webhook_auth","message":"no"})", false},
        Written{Error::ffi("boom"), R"({"kind":"ffi","message":"boom"})", false}));

TEST(ApiFieldErrorDecode, object_and_array_forms) {
  auto a = json::decode<ApiFieldError>(R"({"message":"x","extra":1})");
  ASSERT_TRUE(a) << a.error();
  EXPECT_EQ(json::to_text(*a), R"({"code":null,"field":null,"message":"x"})");
  auto b = json::decode<ApiFieldError>(R"(["amount","too small",null])");
  ASSERT_TRUE(b) << b.error();
  EXPECT_EQ(*b, (ApiFieldError{"amount", "too small", std::nullopt}));
}

TEST(ApiFieldErrorDecode, failures_name_the_member) {
  EXPECT_EQ(json::decode<ApiFieldError>(R"({"field":"amount"})").error(),
            "missing field `message` at line 1 column 18");
  EXPECT_EQ(json::decode<ApiFieldError>(R"({"message":"a","message":"b"})").error(),
            "duplicate field `message` at line 1 column 26");
  EXPECT_EQ(json::decode<ApiFieldError>(R"(["a","b"])").error(),
            "invalid length 2, expected struct ApiFieldError with 3 elements at line 1 column 1");
  EXPECT_EQ(json::decode<ApiFieldError>(R"({"message":"a","code":7})").error(),
            "invalid type: integer `7`, expected a string at line 1 column 23");
}
