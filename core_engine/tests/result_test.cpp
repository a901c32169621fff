#include "result.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using core_engine::Err;
using core_engine::Ok;
using core_engine::Result;

Result<std::unique_ptr<int>, std::string> make(bool succeed) {
  if (succeed) return std::make_unique<int>(7);
  return Err{std::string("nope")};
}

TEST(Result, CarriesMoveOnlyValuesAndErrors) {
  auto good = make(true);
  ASSERT_TRUE(good.ok());
  std::unique_ptr<int> taken = std::move(good).value();
  EXPECT_EQ(*taken, 7);

  auto bad = make(false);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "nope");
}

TEST(Result, VoidResultIsOkOrError) {
  Result<void, int> fine = Ok{};
  Result<void, int> failed = Err{3};
  EXPECT_TRUE(fine.ok());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), 3);
}

}  // namespace
