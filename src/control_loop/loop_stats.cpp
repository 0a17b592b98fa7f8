#include "control_loop/loop_stats.hpp"

#include "common/numfmt.hpp"

namespace velmora::control_loop {

void SampleWindow::push(double sample) {
  if (capacity_ == 0) return;
  if (ring_.size() < capacity_) {
    ring_.push_back(sample);
    return;
  }
  ring_[head_] = sample;
  head_ = (head_ + 1) % capacity_;
}

void SampleWindow::append(std::span<const double> samples) {
  for (double s : samples) push(s);
}

std::vector<double> SampleWindow::to_vector() const {
  std::vector<double> out;
  out.reserve(ring_.size());
  const auto head = static_cast<std::ptrdiff_t>(head_);
  out.insert(out.end(), ring_.begin() + head, ring_.end());
  out.insert(out.end(), ring_.begin(), ring_.begin() + head);
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
