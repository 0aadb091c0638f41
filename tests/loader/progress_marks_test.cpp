// The console run's progress marks, look by look.
#include <gtest/gtest.h>

#include <vector>

#include "loader/startup.h"

namespace loader {
namespace {

// Marks shown when the console looks once after each block, then keeps looking
// after the last one until it has caught up.
int MarksForRun(std::int32_t total, int extraLooks = 64) {
  ProgressMarks marks;
  int shown = 0;
  for (std::int32_t done = 0; done <= total; ++done) shown += marks.Due(total, done);
  for (int i = 0; i < extraLooks; ++i) shown += marks.Due(total, total);
  return shown;
}

TEST(ProgressMarks, AboutThirtyTwoForAWholeRun) {
  EXPECT_EQ(MarksForRun(128), 32);
  EXPECT_EQ(MarksForRun(1792), 32);
  EXPECT_EQ(MarksForRun(2048), 32);
  EXPECT_EQ(MarksForRun(33), 33);  // step 1 until 64 blocks
  EXPECT_EQ(MarksForRun(100), 34);  // step 3: 3, 6, ... 99 and one past it
}

TEST(ProgressMarks, AtMostOnePerBlockBelowThirtyTwo) {
  for (std::int32_t total : {1, 2, 10, 31}) EXPECT_EQ(MarksForRun(total), total) << total;
  EXPECT_EQ(MarksForRun(0), 0);
}

TEST(ProgressMarks, OneMarkPerLookWhenProgressJumps) {
  ProgressMarks marks;
  // The console missed the first 64 of 128 blocks: it catches up one mark a look.
  std::vector<bool> looks;
  for (int i = 0; i < 20; ++i) looks.push_back(marks.Due(128, 64));
  int shown = 0;
  for (bool due : looks) shown += due;
  EXPECT_EQ(shown, 16);
  EXPECT_TRUE(looks.front());
  EXPECT_FALSE(looks.back());
}

}  // namespace
}  // namespace loader
