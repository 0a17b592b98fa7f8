#include "bindings/recording_bridge.hpp"

#include <chrono>
#include <utility>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/gil.hpp"
#include "bindings/core/log_bridge.hpp"

namespace velmora::py {
namespace {

using control_loop::FlightRecorder;

constexpr const char* kCapsuleName = "velmora_motor_controller.FlightRecorder";

std::shared_ptr<FlightRecorder>& recorder_in(PyObject* capsule) {
  return *static_cast<std::shared_ptr<FlightRecorder>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

void free_capsule(PyObject* capsule) noexcept {
  delete static_cast<std::shared_ptr<FlightRecorder>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// take(timeout_s): the records so far as (topic, log time in ns, JSON bytes),
// waiting up to the time-out for the first; None once the recording stopped
// and everything was taken.
PyObject* take(PyObject* capsule, PyObject* timeout) noexcept {
  return guarded([&]() -> PyRef {
    const double seconds = to_f64(timeout, "timeout_s");
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0.0));
    std::shared_ptr<FlightRecorder> recorder = recorder_in(capsule);
    std::optional<std::vector<FlightRecorder::Record>> records;
    {
      ReleaseGil unlocked;
      records = recorder->take(wait);
    }
    if (!records) return py_none();
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(records->size())));
    for (std::size_t i = 0; i < records->size(); ++i) {
      const auto& r = (*records)[i];
      const auto& json = r.json;
      PyRef item = py_tuple(py_str(control_loop::topic_name(r.topic)), py_int(r.log_time_ns),
                            py_bytes(std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size())));
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) throw_error_already_set();
    }
    return list;
  });
}

PyMethodDef g_take = {"take", take, METH_O, "take(timeout_s)\n--\n\nThe loop's records so far."};

}  // namespace

RecordingBridge::RecordingBridge(control_loop::VelmoraControlLoop& loop, std::string path, bool bus_traffic)
    : path_(std::move(path)), recorder_(std::make_shared<FlightRecorder>(bus_traffic)) {
  PyRef capsule = check(PyCapsule_New(new std::shared_ptr<FlightRecorder>(recorder_), kCapsuleName, free_capsule));
  PyRef take_fn = check(PyCFunction_New(&g_take, capsule.get()));
  PyRef module = check(PyImport_ImportModule("velmora_recording"));
  PyRef start = check(PyObject_GetAttrString(module.get(), "start_writer_thread"));
  PyRef path_o = py_str(path_);
  writer_ = check(PyObject_CallFunctionObjArgs(start.get(), path_o.get(), take_fn.get(), nullptr));
  loop.record_into(recorder_);
}

void RecordingBridge::abandon(control_loop::VelmoraControlLoop& loop) {
  loop.record_into(nullptr);
  recorder_->stop();
}

PyRef RecordingBridge::finish(control_loop::VelmoraControlLoop& loop) {
  loop.record_into(nullptr);
  recorder_->stop();
  PyRef dropped = py_uint(recorder_->dropped());
  return check(PyObject_CallMethod(writer_.get(), "finish", "O", dropped.get()));
}

void LoopRecording::start(control_loop::VelmoraControlLoop& loop, std::string path, bool bus_traffic) {
  if (active_) throw_runtime_error("already recording to " + active_->path());
  if (!loop.is_open()) throw_runtime_error("channel closed");
  active_.emplace(loop, std::move(path), bus_traffic);
}

std::optional<RecordingBridge> LoopRecording::take() {
  std::optional<RecordingBridge> taken = std::move(active_);
  active_.reset();
  return taken;
}

PyRef LoopRecording::stop(control_loop::VelmoraControlLoop& loop) {
  std::optional<RecordingBridge> ending = take();
  return ending ? ending->finish(loop) : py_none();
}

void LoopRecording::end_at_close(control_loop::VelmoraControlLoop& loop) {
  std::optional<RecordingBridge> ending = take();
  if (!ending) return;
  if (log_bridge_stopped()) {
    ending->abandon(loop);
    return;
  }
  (void)ending->finish(loop);
}

}  // namespace velmora::py
