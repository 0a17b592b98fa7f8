#include "bindings/classes.hpp"

#include "bindings/control_loop_class.hpp"
#include "bindings/motor_controller_class.hpp"
#include "bindings/records_classes.hpp"

namespace velmora::py {

int add_classes(PyObject* module) {
  // Each class file adds one call here, in attribute order:
  //   if (add_motor_controller_class(module) < 0) return -1;
  //   if (add_control_loop_class(module) < 0) return -1;
  //   if (add_torso_position_class(module) < 0) return -1;
  //   if (add_control_loop_stats_class(module) < 0) return -1;
  if (add_motor_controller_class(module) < 0) return -1;
  if (add_control_loop_class(module) < 0) return -1;
  if (add_torso_position_class(module) < 0) return -1;
  if (add_control_loop_stats_class(module) < 0) return -1;
  return 0;
}

}  // namespace velmora::py
