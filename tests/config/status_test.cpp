// The result types every layer reports failures with.

#include "config/status.h"

#include <gtest/gtest.h>

#include <memory>

namespace noctra {
namespace {

Result<std::unique_ptr<int>> make(bool works) {
  if (!works) return failure("no int today");
  return std::make_unique<int>(42);
}

TEST(Status, SuccessHasNoMessageAndAFailureKeepsItsOwn) {
  const Status fine;
  EXPECT_TRUE(fine.ok());
  EXPECT_TRUE(fine.message().empty());
  const Status failed = failure("disk full");
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.message(), "disk full");
  // A failure without words is still a failure.
  EXPECT_FALSE(Status(failure("")).ok());
}

TEST(Result, CarriesAMoveOnlyValueOrTheMessage) {
  Result<std::unique_ptr<int>> got = make(true);
  ASSERT_TRUE(got);
  EXPECT_EQ(**got, 42);
  EXPECT_TRUE(got.status().ok());
  std::unique_ptr<int> taken = std::move(got).value();
  EXPECT_EQ(*taken, 42);

  const Result<std::unique_ptr<int>> missed = make(false);
  EXPECT_FALSE(missed.ok());
  EXPECT_EQ(missed.message(), "no int today");
  EXPECT_EQ(missed.status().message(), "no int today");
  EXPECT_FALSE(missed.status());
}

}  // namespace
}  // namespace noctra
