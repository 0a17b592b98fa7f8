#include "control_loop/loop_stats.hpp"

#include <algorithm>

#include "common/numfmt.hpp"

namespace velmora::control_loop {

SampleWindow::SampleWindow(std::size_t capacity, std::size_t block)
    : capacity_(capacity), block_(std::clamp<std::size_t>(std::min(block, capacity), 1, kBlock)) {
  open_.reserve(block_);
}

void SampleWindow::push(double sample) {
  if (capacity_ == 0) return;
  open_.push_back(sample);
  ++size_;
  if (open_.size() == block_) {
    sealed_.push_back(std::make_shared<const std::vector<double>>(std::move(open_)));
    open_ = {};
    open_.reserve(block_);
  }
  // The open block never holds more than the capacity, so the oldest sample
  // is always in a sealed block.
  if (size_ > capacity_) {
    --size_;
    if (++skip_ == sealed_.front()->size()) {
      sealed_.pop_front();
      skip_ = 0;
    }
  }
}

void SampleWindow::append(std::span<const double> samples) {
  for (double s : samples) push(s);
}

std::vector<double> SampleWindow::Snapshot::to_vector() const {
  std::vector<double> out;
  std::size_t n = open.size();
  for (const auto& b : sealed) n += b->size();
  out.reserve(n - skip);
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    const auto& b = *sealed[i];
    out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(i == 0 ? skip : 0), b.end());
  }
  out.insert(out.end(), open.begin(), open.end());
  return out;
}

double mean_ms(std::span<const double> samples) {
  double sum = -0.0;
  for (double s : samples) sum += s;
  return sum / static_cast<double>(samples.size()) * 1000.0;
}

std::string ControlLoopStats::repr() const {
  return "ControlLoopStats(period=~" + numfmt::fixed(mean_ms(period), 2) + "ms, read_dt=~" +
         numfmt::fixed(mean_ms(read_dt), 2) + " ms, write_dt=~" + numfmt::fixed(mean_ms(write_dt), 2) + " ms)";
}

}  // namespace velmora::control_loop
