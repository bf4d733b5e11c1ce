#include "request_id.h"

#include <gtest/gtest.h>

namespace ringwell::kel::client {
namespace {

TEST(RequestIdTest, BracesAndLetterCaseAreOptional) {
  const std::string canonical = "{0F8F1C2E-5A4B-4C3D-9E2F-A1B2C3D4E5F6}";
  for (const char* given :
       {"{0F8F1C2E-5A4B-4C3D-9E2F-A1B2C3D4E5F6}", "0f8f1c2e-5a4b-4c3d-9e2f-a1b2c3d4e5f6",
        "{0f8f1c2e-5A4B-4c3d-9e2f-A1B2c3d4e5f6}"}) {
    EXPECT_EQ(CanonicalRequestId(given), canonical) << given;
  }
  for (const char* refused : {"", "0f8f1c2e", "{0f8f1c2e-5a4b-4c3d-9e2f-a1b2c3d4e5f6",
                              "0f8f1c2e-5a4b-4c3d-9e2f-a1b2c3d4e5fg", "../Reports/x"}) {
    EXPECT_FALSE(CanonicalRequestId(refused)) << refused;
    EXPECT_EQ(NormaliseRequestId(refused), refused);
  }
}

}  // namespace
}  // namespace ringwell::kel::client
