#include "control_loop/flight_recorder.hpp"

#include <utility>

#include "common/json.hpp"
#include "common/log.hpp"

namespace velmora::control_loop {
namespace {

// Python's numbers for the levels, as the records reach `logging`.
int python_level(log::Level level) {
  switch (level) {
    case log::Level::Error: return 40;
    case log::Level::Warn: return 30;
    case log::Level::Info: return 20;
    case log::Level::Debug: return 10;
    case log::Level::Trace: break;
  }
  return 5;
}

// "velmora_motor_controller::controller" -> "velmora_motor_controller.controller".
std::string logger_name(std::string_view target) {
  std::string name;
  for (std::size_t at = 0; at < target.size(); ++at) {
    if (target.substr(at, 2) == "::") {
      name += '.';
      ++at;
    } else {
      name += target[at];
    }
  }
  return name;
}

}  // namespace

std::string_view topic_name(Topic topic) {
  switch (topic) {
    case Topic::Position: return "/velmora/position";
    case Topic::Fault: return "/velmora/fault";
    case Topic::Command: return "/velmora/command";
    case Topic::Timing: return "/velmora/timing";
    case Topic::Log: return "/velmora/log";
    case Topic::Serial: return "/velmora/serial";
    case Topic::Can: return "/velmora/can";
  }
  return "/velmora/log";
}

std::int64_t wall_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

FlightRecorder::FlightRecorder(bool bus_traffic, std::size_t capacity)
    : bus_traffic_(bus_traffic), buffer_(std::make_shared<Buffer>(capacity)) {
  log_tap_ = log::add_tap([buffer = buffer_](log::Level level, std::string_view target, std::string_view message) {
    if (level == log::Level::Trace) return;
    buffer->push(Record{Topic::Log, wall_ns(),
                        json::Object()
                            .integer("level", python_level(level))
                            .text("logger", logger_name(target))
                            .text("message", message)
                            .done()});
  });
}

FlightRecorder::~FlightRecorder() { log::remove_tap(log_tap_); }

void FlightRecorder::Buffer::push(Record record) {
  std::lock_guard lock(mutex);
  if (stopped) return;
  if (records.size() >= capacity) {
    ++dropped;
    return;
  }
  records.push_back(std::move(record));
  if (records.size() == 1) ready.notify_one();
}

void FlightRecorder::push(Topic topic, std::int64_t log_time_ns, std::string json) {
  buffer_->push(Record{topic, log_time_ns, std::move(json)});
}

std::optional<std::vector<FlightRecorder::Record>> FlightRecorder::take(std::chrono::nanoseconds timeout) {
  Buffer& b = *buffer_;
  std::unique_lock lock(b.mutex);
  b.ready.wait_for(lock, timeout, [&] { return !b.records.empty() || b.stopped; });
  if (b.records.empty() && b.stopped) return std::nullopt;
  std::vector<Record> out;
  out.swap(b.records);
  return out;
}

void FlightRecorder::stop() {
  log::remove_tap(log_tap_);
  std::lock_guard lock(buffer_->mutex);
  buffer_->stopped = true;
  buffer_->ready.notify_all();
}

std::uint64_t FlightRecorder::dropped() const {
  std::lock_guard lock(buffer_->mutex);
  return buffer_->dropped;
}

void FlightRecorder::serial(bool sent, std::span<const std::uint8_t> packet) {
  push(Topic::Serial, wall_ns(), json::Object().text("direction", sent ? "tx" : "rx").bytes_hex("data", packet).done());
}

void FlightRecorder::can(bool sent, const motorcom::CanFrame& frame) {
  // A received frame happened when the kernel stamped it.
  const auto stamp = frame.received_at.time_since_epoch();
  const auto when = !sent && stamp.count() != 0 ? std::chrono::duration_cast<std::chrono::nanoseconds>(stamp).count()
                                                : wall_ns();
  push(Topic::Can, when,
       json::Object()
           .text("direction", sent ? "tx" : "rx")
           .integer("id", static_cast<std::int64_t>(frame.id.value))
           .bytes_hex("data", frame.data)
           .done());
}

}  // namespace velmora::control_loop
