#pragma once
// One loop's recording as Python sees it: the loop's flight recorder, and the
// writer thread of velmora_recording that drains it into the file. The
// thread takes records through a builtin function that waits without the
// interpreter lock.

#include <memory>
#include <optional>
#include <string>

#include "bindings/core/py_ref.hpp"
#include "control_loop/control_loop.hpp"

namespace velmora::py {

class RecordingBridge {
 public:
  // Creates the file and starts writing into it what the loop does from its
  // next round on. RuntimeError naming the path and the OS error when the
  // file cannot be made.
  RecordingBridge(control_loop::VelmoraControlLoop& loop, std::string path, bool bus_traffic);
  RecordingBridge(RecordingBridge&&) noexcept = default;
  RecordingBridge& operator=(RecordingBridge&&) = delete;

  const std::string& path() const { return path_; }
  // Stops the recording, waits for the writer to drain it and finish the
  // file, and returns its counts (a dict).
  PyRef finish(control_loop::VelmoraControlLoop& loop);
  // Stops the recording without Python, once the interpreter is exiting:
  // the file ends at its writer's last flush.
  void abandon(control_loop::VelmoraControlLoop& loop);

 private:
  std::string path_;
  std::shared_ptr<control_loop::FlightRecorder> recorder_;
  PyRef writer_;  // velmora_recording's WriterThread
};

// A loop's recording: at most one at a time.
class LoopRecording {
 public:
  // RuntimeError when already recording, or when the loop is closed.
  void start(control_loop::VelmoraControlLoop& loop, std::string path, bool bus_traffic);
  // Finishes the recording and returns its counts, or None when not recording.
  PyRef stop(control_loop::VelmoraControlLoop& loop);
  // At close(), after the loop drained its queue: the recording is finished,
  // or abandoned past interpreter exit, when its writer may be gone for good.
  void end_at_close(control_loop::VelmoraControlLoop& loop);

 private:
  std::optional<RecordingBridge> take();
  std::optional<RecordingBridge> active_;
};

}  // namespace velmora::py
