#include "bindings/core/lifecycle.hpp"

#include "bindings/core/args.hpp"

namespace velmora::py {

PyRef device_repr(std::string_view class_name, const DeviceNames& devices, bool open) {
  PyRef name = py_str(class_name);
  PyRef serialport = devices.serialport ? py_str(*devices.serialport) : py_none();
  PyRef can_bus = py_str(devices.can_bus);
  return check(PyUnicode_FromFormat("<%U serialport=%R can_bus=%R %s>", name.get(), serialport.get(), can_bus.get(),
                                    open ? "open" : "closed"));
}

void bind_exit_arguments(const char* name, PyObject* args, PyObject* kwargs) {
  const Signature<3> sig{name, {"exc_type", "exc_value", "traceback"}, 3};
  bind(sig, args, kwargs);
}

}  // namespace velmora::py
