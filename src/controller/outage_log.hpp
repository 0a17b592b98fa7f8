#pragma once
// One device's outage as the log tells it: one error record when it begins,
// naming the device and the cause, and one info record when it ends, with
// how long it lasted and how many readings failed meanwhile. Nothing in
// between, however often the device is tried: a 100 Hz loop with a pulled
// cable writes two lines, not a hundred a second.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::controller {

class OutageLog {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // target: the logger's; subject: what the records are about ("serial port /dev/ttyUSB0").
  OutageLog(std::string_view target, std::string subject) : target_(target), subject_(std::move(subject)) {}

  bool open() const { return since_.has_value(); }
  const std::string& subject() const { return subject_; }
  // Begins an outage (logging "{subject} {what}") unless one is open.
  void begin(TimePoint now, const std::string& what);
  // Counts a failed reading of an open outage.
  void failed_reading() {
    if (open()) ++failed_readings_;
  }
  // Ends an open outage, logging "{subject} back after {seconds} s; {n} readings failed".
  void end(TimePoint now);

 private:
  std::string_view target_;
  std::string subject_;
  std::optional<TimePoint> since_;
  std::uint64_t failed_readings_ = 0;
};

}  // namespace velmora::controller
