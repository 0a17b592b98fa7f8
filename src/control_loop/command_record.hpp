#pragma once
// How a recording tells what a command was: the Python method's name and its
// arguments as given, after the clamping the loop applies.

#include <string>
#include <string_view>

#include "control_loop/motor_command.hpp"

namespace velmora::control_loop {

std::string_view command_name(const MotorCommand& command);
// The JSON object of the command's arguments, keyed by their Python names.
std::string command_arguments(const MotorCommand& command);

}  // namespace velmora::control_loop
