#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "controller/homing_math.hpp"

namespace velmora::controller {
namespace {

TEST(NearestTurnGoal, PicksTheNearestMultipleOfTwoPiAndRoundsHalfwayAwayFromZero) {
  EXPECT_EQ(nearest_turn_goal(6.4), kTwoPi);
  EXPECT_EQ(nearest_turn_goal(-6.4), -kTwoPi);
  EXPECT_EQ(nearest_turn_goal(0.1), 0.0);
  EXPECT_EQ(nearest_turn_goal(13.0), 2 * kTwoPi);
  // Exactly half a turn away from zero goes to the farther multiple.
  EXPECT_EQ(nearest_turn_goal(kPi), kTwoPi);
  EXPECT_EQ(nearest_turn_goal(-kPi), -kTwoPi);
  // Just short of half a turn stays at zero.
  EXPECT_EQ(nearest_turn_goal(std::nextafter(kPi, 0.0)), 0.0);

  const double negative_zero = nearest_turn_goal(-3.0);
  EXPECT_EQ(negative_zero, 0.0);
  EXPECT_TRUE(std::signbit(negative_zero));
}

TEST(NeckHomeCycleBudget, AddsTwoThousandSettleCyclesAndNeverWraps) {
  EXPECT_EQ(neck_home_cycle_budget(0.0, 0.004), 2000u);
  EXPECT_EQ(neck_home_cycle_budget(kPi, 0.004), 2785u);
  EXPECT_EQ(neck_home_cycle_budget(3.0, 1.0), 2003u);
  // A crawl so slow that the travel needs more cycles than 32 bits hold.
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  EXPECT_EQ(neck_home_cycle_budget(kPi, 1e-12), kMax);
  EXPECT_EQ(neck_home_cycle_budget(kPi, std::numeric_limits<double>::denorm_min()), kMax);
  EXPECT_EQ(neck_home_cycle_budget(static_cast<double>(kMax) - 2000.0, 1.0), kMax);
  EXPECT_EQ(neck_home_cycle_budget(static_cast<double>(kMax), 1.0), kMax);
}

TEST(WrapOffset, FoldsIntoMinusPiToPiKeepingTheEnds) {
  EXPECT_DOUBLE_EQ(wrap_offset(0.5), 0.5);
  EXPECT_DOUBLE_EQ(wrap_offset(3.5), 3.5 - kTwoPi);
  EXPECT_DOUBLE_EQ(wrap_offset(-3.5), -3.5 + kTwoPi);
  EXPECT_DOUBLE_EQ(wrap_offset(10.0), 10.0 - 2 * kTwoPi);
  EXPECT_EQ(wrap_offset(kPi), kPi);
  EXPECT_EQ(wrap_offset(-kPi), -kPi);
}

}  // namespace
}  // namespace velmora::controller
