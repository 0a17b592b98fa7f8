#pragma once
// What the one parameter of a joint command can be (joint_commands.def): the
// value it carries and, for goals, which joints they are meant for, whose
// names a refused goal gives. The Python classes convert and check each kind
// of argument in one place (bindings), from these.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "controller/joint_names.hpp"

namespace velmora::control_loop::arg {

inline constexpr std::span kServoJoints{controller::SERVO_JOINT_NAMES};
inline constexpr std::span kNeckJoints{controller::NECK_JOINT_NAMES};

// Goals for the servos First .. First+N-1, in bus order.
template <std::size_t First, std::size_t N>
struct ServoGoals {
  using Value = std::array<double, N>;
  static constexpr std::span<const std::string_view, N> joints = kServoJoints.subspan<First, N>();
};
using LeftArmGoals = ServoGoals<0, 2>;
using RightArmGoals = ServoGoals<2, 2>;
using ArmsGoals = ServoGoals<0, 4>;
using NoseGoals = ServoGoals<4, 3>;
// All seven; the loop takes them as a VelmoraTorsoPosition.
struct AllServoGoals : ServoGoals<0, 7> {};

// Neck goals are clamped to the joints' safety ranges, with a warning.
struct NeckGoals {
  using Value = std::array<double, 3>;
  static constexpr std::span<const std::string_view, 3> joints = kNeckJoints;
};
template <std::size_t Index>
struct NeckGoal {
  using Value = double;
  static constexpr std::size_t index = Index;
  static constexpr std::span<const std::string_view, 1> joints = kNeckJoints.subspan<Index, 1>();
};

struct Flag {
  using Value = bool;
};
struct ServoIds {
  using Value = std::vector<std::uint8_t>;
};
struct NoArg {
  using Value = std::monostate;
};

template <class Arg>
concept Goals = requires { Arg::joints; };
template <class Arg>
concept NeckArg = std::is_same_v<Arg, NeckGoals> || requires { Arg::index; };
template <class Arg>
inline constexpr bool is_none = std::is_same_v<Arg, NoArg>;

}  // namespace velmora::control_loop::arg
