#pragma once
// What the loop did, on its way to a recording: readings, faults, commands,
// tick timing, log records and, on request, every packet and frame. The loop
// thread hands each record, already its message's JSON text, to a bounded
// buffer and never waits on the writer: the writer only swaps the buffer out
// under a lock held for a moment. A full buffer drops records and counts
// them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controller/bus_tap.hpp"

namespace velmora::control_loop {

inline constexpr std::size_t kRecorderCapacity = 1 << 16;

enum class Topic : std::uint8_t { Position, Fault, Command, Timing, Log, Serial, Can };
// "/velmora/position", ...
std::string_view topic_name(Topic topic);

// Nanoseconds since the epoch on the wall clock: the clock of
// VelmoraTorsoPosition.timestamp, and of a recording's log times.
std::int64_t wall_ns();

class FlightRecorder final : public controller::BusTap {
 public:
  struct Record {
    Topic topic;
    std::int64_t log_time_ns;
    std::string json;
  };

  explicit FlightRecorder(bool bus_traffic, std::size_t capacity = kRecorderCapacity);
  ~FlightRecorder() override;
  FlightRecorder(const FlightRecorder&) = delete;
  FlightRecorder& operator=(const FlightRecorder&) = delete;

  bool bus_traffic() const { return bus_traffic_; }

  // Any thread; never blocks for longer than the buffer's lock is held.
  void push(Topic topic, std::int64_t log_time_ns, std::string json);
  // The records so far, waiting up to timeout for the first; nothing once
  // stopped and drained.
  std::optional<std::vector<Record>> take(std::chrono::nanoseconds timeout);
  // No more records; a waiting take() returns at once.
  void stop();
  std::uint64_t dropped() const;

  void serial(bool sent, std::span<const std::uint8_t> packet) override;
  void can(bool sent, const motorcom::CanFrame& frame) override;

 private:
  // Apart from the recorder, so a log record on its way in from another
  // thread never outlives what it goes into.
  struct Buffer {
    explicit Buffer(std::size_t most) : capacity(most) {}
    void push(Record record);
    const std::size_t capacity;
    mutable std::mutex mutex;
    std::condition_variable ready;
    std::vector<Record> records;
    bool stopped = false;
    std::uint64_t dropped = 0;
  };

  const bool bus_traffic_;
  const std::shared_ptr<Buffer> buffer_;
  std::uint64_t log_tap_ = 0;
};

}  // namespace velmora::control_loop
