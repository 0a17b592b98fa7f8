#pragma once
// The torso's joint names: the seven servos in bus order (ids 1 to 7) and the
// three neck joints in joint order.

#include <array>
#include <string_view>

namespace velmora::controller {

inline constexpr std::array<std::string_view, 7> SERVO_JOINT_NAMES{
    "left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw", "nose_top", "nose_left", "nose_right"};
inline constexpr std::array<std::string_view, 3> NECK_JOINT_NAMES{"neck_yaw", "neck_pitch", "neck_roll"};

}  // namespace velmora::controller
