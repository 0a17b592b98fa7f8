#include "common/numfmt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace velmora::numfmt;
using namespace std::chrono_literals;

TEST(NumberText, ShortestDropsPointForWholeNumbersAndNeverUsesExponent) {
  EXPECT_EQ(shortest(0.0), "0");
  EXPECT_EQ(shortest(-0.0), "-0");
  EXPECT_EQ(shortest(-0.5), "-0.5");
  EXPECT_EQ(shortest(0.4), "0.4");
  EXPECT_EQ(shortest(6.283185307179586), "6.283185307179586");
  EXPECT_EQ(shortest(1e16), "10000000000000000");
  EXPECT_EQ(shortest(3e-5), "0.00003");
  EXPECT_EQ(shortest(std::nan("")), "NaN");
}

TEST(NumberText, DebugKeepsOneDecimalAndSwitchesToExponentAtTheEdges) {
  EXPECT_EQ(debug(0.0), "0.0");
  EXPECT_EQ(debug(-0.0), "-0.0");
  EXPECT_EQ(debug(1.0), "1.0");
  EXPECT_EQ(debug(-1.25), "-1.25");
  EXPECT_EQ(debug(0.0125), "0.0125");
  EXPECT_EQ(debug(0.0001), "0.0001");
  EXPECT_EQ(debug(3e-5), "3e-5");
  EXPECT_EQ(debug(-1.5e-7), "-1.5e-7");
  EXPECT_EQ(debug(1e16), "1e16");
  EXPECT_EQ(debug(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(debug(-6.283185307179586), "-6.283185307179586");
  EXPECT_EQ(debug(std::numeric_limits<double>::infinity()), "inf");
}

TEST(NumberText, FixedRoundsAndSignsOnRequest) {
  EXPECT_EQ(fixed(0.7, 4), "0.7000");
  EXPECT_EQ(fixed(-0.5, 4), "-0.5000");
  EXPECT_EQ(fixed(0.0012, 4, true), "+0.0012");
  EXPECT_EQ(fixed(0.0, 4, true), "+0.0000");
  EXPECT_EQ(fixed(-0.3, 4, true), "-0.3000");
  EXPECT_EQ(fixed(0.05, 4), "0.0500");
  EXPECT_EQ(fixed(11.5, 1), "11.5");
  EXPECT_EQ(fixed(std::nan(""), 2), "NaN");
}

TEST(NumberText, DurationsUseTheLargestFittingUnit) {
  EXPECT_EQ(duration(30s), "30s");
  EXPECT_EQ(duration(1500ms), "1.5s");
  EXPECT_EQ(duration(250ms), "250ms");
  EXPECT_EQ(duration(1250us), "1.25ms");
  EXPECT_EQ(duration(12500ns), "12.5\u00b5s");
  EXPECT_EQ(duration(0ns), "0ns");
  EXPECT_EQ(duration(1s + 1ns), "1.000000001s");
}
