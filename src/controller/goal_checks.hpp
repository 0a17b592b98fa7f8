#pragma once
// The check every joint goal passes, wherever it comes from: a goal that is
// not a number would reach a servo as raw 0 (half a turn from zero) and a neck
// motor as the bottom of its range.

#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora::controller {

// "{method}({joint}): goal is not a number" for the first such goal, or nothing.
inline std::optional<std::string> goal_not_a_number(std::string_view method, std::span<const std::string_view> joints,
                                                    std::span<const double> goals) {
  for (std::size_t i = 0; i < goals.size() && i < joints.size(); ++i) {
    if (std::isnan(goals[i])) return std::string(method) + "(" + std::string(joints[i]) + "): goal is not a number";
  }
  return std::nullopt;
}

}  // namespace velmora::controller
