#include "control_loop/loop_recording.hpp"

#include <cmath>

#include "common/json.hpp"
#include "control_loop/command_record.hpp"

namespace velmora::control_loop {
namespace {

void fault(FlightRecorder& recorder, std::int64_t at_ns, std::string_view source, const std::string& error) {
  std::string json = "{";
  json::key(json, "source");
  json::string(json, source);
  json += ", ";
  json::key(json, "error");
  json::string(json, error);
  json += '}';
  recorder.push(Topic::Fault, at_ns, std::move(json));
}

std::string position_json(const VelmoraTorsoPosition& p) {
  std::string json = "{";
  json::key(json, "timestamp");
  json::number(json, p.timestamp);
  for (const auto& [name, values] : {std::pair<std::string_view, std::span<const double>>{"left_arm", p.left_arm},
                                     {"right_arm", p.right_arm},
                                     {"nose", p.nose},
                                     {"neck", p.neck}}) {
    json += ", ";
    json::key(json, name);
    json::numbers(json, values);
  }
  json += '}';
  return json;
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
  std::string timing = "{";
  json::key(timing, "period_s");
  json::number(timing, period_s);
  timing += ", ";
  json::key(timing, "read_s");
  json::number(timing, read_s);
  timing += '}';
  recorder_->push(Topic::Timing, started_ns, std::move(timing));
  if (position) {
    // On the reading's own clock: its timestamp is the moment it describes.
    recorder_->push(Topic::Position, std::llround(position->timestamp * 1e9), position_json(*position));
  } else {
    fault(*recorder_, started_ns, "reading", controller_.device_name(why.bus) + ": " + why.message);
  }
}

LoopRecording::Started LoopRecording::starting(const MotorCommand& command) const {
  if (!recorder_) return {};
  return {wall_ns(), command_name(command), command_arguments(command)};
}

void LoopRecording::command(const Started& started, const controller::Result<void>& outcome, double duration_s) {
  if (!recorder_) return;
  std::string json = "{";
  json::key(json, "command");
  json::string(json, started.name);
  json += ", ";
  json::key(json, "arguments");
  json += started.arguments;
  json += ", ";
  json::key(json, "ok");
  json::boolean(json, outcome.has_value());
  json += ", ";
  json::key(json, "error");
  if (outcome) {
    json::null(json);
  } else {
    json::string(json, outcome.error().message);
  }
  json += ", ";
  json::key(json, "duration_s");
  json::number(json, duration_s);
  json += '}';
  recorder_->push(Topic::Command, started.at_ns, std::move(json));
  if (!outcome) fault(*recorder_, started.at_ns, started.name, outcome.error().message);
}

}  // namespace velmora::control_loop
