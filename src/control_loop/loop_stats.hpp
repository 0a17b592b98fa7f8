#pragma once
// Timing statistics of the loop. A robot runs for days, so each list keeps
// only its most recent kStatsWindow samples; the means shown by repr() are
// over that window.

#include <cstddef>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velmora::control_loop {

inline constexpr std::size_t kStatsWindow = 100'000;

// The most recent `capacity` samples, oldest first. Full blocks are sealed and
// shared with snapshots, so taking a snapshot under the statistics lock copies
// a few pointers and one partly filled block, however full the window is; the
// loop thread waiting for that lock never waits for a copy of the whole window.
class SampleWindow {
 public:
  static constexpr std::size_t kBlock = 1024;

  // The samples of a window at one moment; flattening them needs no lock.
  struct Snapshot {
    std::vector<std::shared_ptr<const std::vector<double>>> sealed;
    std::size_t skip = 0;  // samples of the first sealed block that fell out
    std::vector<double> open;
    std::vector<double> to_vector() const;
  };

  SampleWindow() : SampleWindow(kStatsWindow) {}
  explicit SampleWindow(std::size_t capacity, std::size_t block = kBlock);
  void push(double sample);
  void append(std::span<const double> samples);
  Snapshot snapshot() const { return {{sealed_.begin(), sealed_.end()}, skip_, open_}; }
  std::vector<double> to_vector() const { return snapshot().to_vector(); }

 private:
  std::size_t capacity_;
  std::size_t block_;
  std::deque<std::shared_ptr<const std::vector<double>>> sealed_;
  std::size_t skip_ = 0;
  std::vector<double> open_;
  std::size_t size_ = 0;
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

  struct Snapshot {
    SampleWindow::Snapshot period, read_dt, write_dt;
    ControlLoopStats flatten() const { return {period.to_vector(), read_dt.to_vector(), write_dt.to_vector()}; }
  };
  // Cheap enough to take under the statistics lock; flatten it after.
  Snapshot snapshot() const { return {period.snapshot(), read_dt.snapshot(), write_dt.snapshot()}; }
};

// Sum from negative zero, left to right, over the count; NaN when empty.
double mean_ms(std::span<const double> samples);

}  // namespace velmora::control_loop
