#include "controller/tapped_port.hpp"

#include <algorithm>

namespace velmora::controller {
namespace {

constexpr std::size_t kHeader = 4;  // FF FF id length

}  // namespace

servocom::Result<void> TappedPort::read_exact(std::span<std::uint8_t> buf) {
  auto read = inner_.read_exact(buf);
  if (read) {
    received_.insert(received_.end(), buf.begin(), buf.end());
    cut();
  }
  return read;
}

servocom::Result<void> TappedPort::write_all(std::span<const std::uint8_t> data) {
  flush();
  auto written = inner_.write_all(data);
  if (written) tap_.serial(true, data);
  return written;
}

void TappedPort::cut() {
  for (;;) {
    const auto start = std::search_n(received_.begin(), received_.end(), 2, std::uint8_t{0xFF});
    if (start != received_.begin()) {
      // Bytes before a packet start: line noise, shown as they came.
      tap_.serial(false, std::span(received_.data(), static_cast<std::size_t>(start - received_.begin())));
      received_.erase(received_.begin(), start);
    }
    if (received_.size() < kHeader) return;
    const std::size_t whole = kHeader + received_[3];
    if (received_.size() < whole) return;
    tap_.serial(false, std::span(received_.data(), whole));
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(whole));
  }
}

void TappedPort::flush() {
  if (received_.empty()) return;
  tap_.serial(false, received_);
  received_.clear();
}

}  // namespace velmora::controller
