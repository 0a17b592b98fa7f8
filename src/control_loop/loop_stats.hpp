#pragma once
// Timing statistics of the loop. A robot runs for days, so each list keeps
// only its most recent kStatsWindow samples; the means shown by repr() are
// over that window.

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace velmora::control_loop {

inline constexpr std::size_t kStatsWindow = 100'000;

// The most recent `capacity` samples, oldest first. A ring, so appending to a
// full window costs the same as to an empty one.
class SampleWindow {
 public:
  SampleWindow() = default;
  explicit SampleWindow(std::size_t capacity) : capacity_(capacity) {}
  void push(double sample);
  void append(std::span<const double> samples);
  std::size_t size() const { return ring_.size(); }
  std::vector<double> to_vector() const;

 private:
  std::size_t capacity_ = kStatsWindow;
  std::vector<double> ring_;
  std::size_t head_ = 0;  // index of the oldest sample once the ring is full
};

struct ControlLoopStats {
  std::vector<double> period;
  std::vector<double> read_dt;
  std::vector<double> write_dt;

  std::string repr() const;
};

// The shared statistics cell's contents: the three windows.
struct StatsWindows {
  SampleWindow period;
  SampleWindow read_dt;
  SampleWindow write_dt;

  ControlLoopStats snapshot() const { return {period.to_vector(), read_dt.to_vector(), write_dt.to_vector()}; }
};

// Sum from negative zero, left to right, over the count; NaN when empty.
double mean_ms(std::span<const double> samples);

}  // namespace velmora::control_loop
