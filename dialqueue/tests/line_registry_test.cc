#include "line_registry.h"

#include <gtest/gtest.h>

namespace ringwell::dialqueue {
namespace {

TEST(LineRegistryTest, ALineIsHeldByOneWorkerAtATime) {
  CLineRegistry lines;
  EXPECT_TRUE(lines.TryAcquire(2));
  EXPECT_FALSE(lines.TryAcquire(2));
  EXPECT_TRUE(lines.TryAcquire(3));
  lines.ReleaseLine(2);
  EXPECT_TRUE(lines.TryAcquire(2));
}

TEST(LineRegistryTest, LinesOfZeroAndBelowNeverBlock) {
  CLineRegistry lines;
  for (std::int32_t line : {0, -1}) {
    EXPECT_TRUE(lines.TryAcquire(line));
    EXPECT_TRUE(lines.TryAcquire(line));
    lines.ReleaseLine(line);
  }
}

}  // namespace
}  // namespace ringwell::dialqueue
