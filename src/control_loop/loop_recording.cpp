#include "control_loop/loop_recording.hpp"

#include <cmath>

#include "common/json.hpp"
#include "control_loop/command_record.hpp"

namespace velmora::control_loop {
namespace {

void fault(FlightRecorder& recorder, std::int64_t at_ns, std::string_view source, const std::string& error) {
  recorder.push(Topic::Fault, at_ns, json::Object().text("source", source).text("error", error).done());
}

std::string position_json(const VelmoraTorsoPosition& p) {
  return json::Object()
      .number("timestamp", p.timestamp)
      .numbers("left_arm", p.left_arm)
      .numbers("right_arm", p.right_arm)
      .numbers("nose", p.nose)
      .numbers("neck", p.neck)
      .done();
}

}  // namespace

void LoopRecording::refresh() {
  auto wanted = slot_.get();
  if (wanted == recorder_) return;
  recorder_ = std::move(wanted);
  controller_.set_bus_tap(recorder_ && recorder_->bus_traffic() ? recorder_.get() : nullptr);
}

void LoopRecording::tick(std::int64_t started_ns, double period_s, double read_s, const PositionResult& position,
                         const controller::ControllerError& why) {
  if (!recorder_) return;
  recorder_->push(Topic::Timing, started_ns, json::Object().number("period_s", period_s).number("read_s", read_s).done());
  if (position) {
    // On the reading's own clock: its timestamp is the moment it describes.
    recorder_->push(Topic::Position, std::llround(position->timestamp * 1e9), position_json(*position));
  } else {
    fault(*recorder_, started_ns, "reading", controller_.device_name(why.bus) + ": " + why.detail());
  }
}

LoopRecording::Started LoopRecording::starting(const MotorCommand& command) const {
  if (!recorder_) return {};
  return {wall_ns(), command_name(command), command_arguments(command)};
}

void LoopRecording::command(const Started& started, const controller::Result<void>& outcome, double duration_s) {
  if (!recorder_) return;
  json::Object message;
  message.text("command", started.name).raw("arguments", started.arguments).flag("ok", outcome.has_value());
  if (outcome) {
    message.raw("error", "null");
  } else {
    message.text("error", outcome.error().message);
  }
  recorder_->push(Topic::Command, started.at_ns, message.number("duration_s", duration_s).done());
  if (!outcome) fault(*recorder_, started.at_ns, started.name, outcome.error().detail());
}

}  // namespace velmora::control_loop
