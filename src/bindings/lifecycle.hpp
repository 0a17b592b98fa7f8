#pragma once
// Pieces of the explicit lifecycle that both hardware classes share: the
// context-manager protocol and a repr naming the devices.

#include <optional>
#include <string>
#include <string_view>

#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"

namespace velmora::py {

// The devices an object was opened on, kept for its repr.
struct DeviceNames {
  std::optional<std::string> serialport;  // none: no servo bus
  std::string can_bus;
};

// "<ClassName serialport='/dev/ttyUSB0' can_bus='can0' open>" (or "closed");
// a missing serial port shows as None.
PyRef device_repr(std::string_view class_name, const DeviceNames& devices, bool open);

// Binds __exit__'s three arguments (exc_type, exc_value, traceback), which
// are all ignored: leaving the block closes the object whatever happened.
void bind_exit_arguments(const char* name, PyObject* args, PyObject* kwargs);

}  // namespace velmora::py
