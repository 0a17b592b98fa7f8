#pragma once
// The joint commands' arguments (control_loop/joint_commands.def), bound and
// checked one way per kind of argument for both classes, and the methods'
// names and docstrings made from the same lines.

#include <string>
#include <string_view>

#include "bindings/core/args.hpp"
#include "bindings/records_classes.hpp"
#include "control_loop/motor_command.hpp"

namespace velmora::py {

// Whose method it is: the name in messages, and the form a few kinds take.
enum class Owner { Controller, Loop };

inline constexpr std::string_view owner_class(Owner owner) {
  return owner == Owner::Controller ? "VelmoraMotorController" : "VelmoraPyControlLoop";
}

// "ClassName.method", as argument errors name the method; made once per method.
template <Owner owner, class Command>
const char* qualified_name() {
  static const std::string name = std::string(owner_class(owner)) + "." + std::string(Command::python_name);
  return name.c_str();
}

// The docstring: the text signature, then the declared text.
template <Owner owner, class Command>
const char* method_doc() {
  static const std::string doc = [] {
    std::string d(Command::python_name);
    d += control_loop::arg::is_none<typename Command::Argument> ? "($self)" : "($self, " + std::string(Command::parameter) + ")";
    d += "\n--\n\n";
    d += owner == Owner::Controller ? Command::controller_doc_text : Command::loop_doc_text;
    return d;
  }();
  return doc.c_str();
}

// The command's argument from the call: converted, and refused where a goal
// is not a number (ValueError naming the joint).
template <Owner owner, class Command>
typename Command::Argument::Value joint_argument(PyObject* args, PyObject* kwargs) {
  using Arg = typename Command::Argument;
  namespace arg = control_loop::arg;
  const char* name = qualified_name<owner, Command>();
  const char* param = Command::parameter.data();
  if constexpr (std::is_same_v<Arg, arg::AllServoGoals> && owner == Owner::Loop) {
    // The loop takes all seven as a torso position.
    PyObject* torso = bind_one(name, param, args, kwargs,
                               [](PyObject* o, const char* p) { return to_instance(o, torso_position_type(), p); });
    const auto goals = torso_position_value(torso).servo_goals();
    refuse_goals_not_a_number(name, Arg::joints, goals);
    return goals;
  } else if constexpr (std::is_same_v<typename Arg::Value, double>) {
    const double goal = bind_one(name, param, args, kwargs, to_f64);
    refuse_goals_not_a_number(name, Arg::joints, std::span(&goal, 1));
    return goal;
  } else if constexpr (arg::Goals<Arg>) {
    const auto goals = bind_one(name, param, args, kwargs, to_f64_array<Arg::joints.size()>);
    refuse_goals_not_a_number(name, Arg::joints, goals);
    return goals;
  } else if constexpr (std::is_same_v<Arg, arg::Flag>) {
    return bind_one(name, param, args, kwargs, to_bool);
  } else if constexpr (std::is_same_v<Arg, arg::ServoIds>) {
    return bind_one(name, param, args, kwargs, to_u8_list);
  } else {
    static_assert(arg::is_none<Arg>, "a kind of argument without its conversion");
    return {};
  }
}

}  // namespace velmora::py
