#pragma once
// The explicit lifecycle both hardware classes share: the context-manager
// protocol, a repr naming the devices, and the closing of native objects
// that own a thread, on request and at interpreter exit.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/core/gil.hpp"
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

// Calls object.close(), which waits for the object's thread, without the
// interpreter lock, so that thread can still forward its log records meanwhile.
template <class T>
void close_unlocked(T& object) {
  ReleaseGil unlocked;
  object.close();
}

// The objects of one kind still alive, closed from an exit hook (see
// log_bridge.hpp add_exit_hook): a thread still running when the interpreter
// finalises could be killed in the middle of forwarding a log record.
template <class T>
class ClosedAtExit {
 public:
  void track(const std::shared_ptr<T>& object) {
    std::lock_guard lock(mutex_);
    std::erase_if(objects_, [](const auto& w) { return w.expired(); });
    objects_.push_back(object);
  }

  // From the exit hook, holding the interpreter lock.
  void close_all() {
    std::vector<std::shared_ptr<T>> live;
    {
      std::lock_guard lock(mutex_);
      for (auto& w : objects_)
        if (auto object = w.lock()) live.push_back(std::move(object));
      objects_.clear();
    }
    for (auto& object : live) close_unlocked(*object);
    ReleaseGil unlocked;  // the last reference may be ours: close() again is free
    live.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<T>> objects_;
};

}  // namespace velmora::py
