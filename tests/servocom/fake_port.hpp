#pragma once
// A scripted Port: replies appear in the input when a packet is written,
// faults are injected per operation, and everything written is recorded.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "servocom/feetech_handler.hpp"
#include "servocom/port.hpp"

namespace servocom::testing {

using Bytes = std::vector<std::uint8_t>;

class FakePort : public Port {
 public:
  std::deque<std::uint8_t> input;
  // Appended to the input at each bytes_waiting query, one entry per query:
  // a bus that keeps talking.
  std::deque<Bytes> arriving;
  // Put in the input by each successful write, one entry per write.
  std::deque<Bytes> replies;
  Bytes written;
  int writes = 0;
  std::optional<Error> waiting_error;
  std::optional<Error> write_error;

  void feed(const Bytes& b) { input.insert(input.end(), b.begin(), b.end()); }
  void reply(const Bytes& b) { replies.push_back(b); }

  Result<std::size_t> bytes_waiting() override {
    if (waiting_error) return std::unexpected(*waiting_error);
    if (!arriving.empty()) {
      feed(arriving.front());
      arriving.pop_front();
    }
    return input.size();
  }

  // Like a real port, takes what there is and then times out.
  Result<void> read_exact(std::span<std::uint8_t> buf) override {
    for (auto& b : buf) {
      if (input.empty()) return std::unexpected(Error::io(IoKind::TimedOut, "Operation timed out"));
      b = input.front();
      input.pop_front();
    }
    return {};
  }

  Result<void> write_all(std::span<const std::uint8_t> data) override {
    if (write_error) return std::unexpected(*write_error);
    ++writes;
    written.insert(written.end(), data.begin(), data.end());
    if (!replies.empty()) {
      feed(replies.front());
      replies.pop_front();
    }
    return {};
  }

  Result<void> drain() override { return {}; }
};

// A handler whose sleeps are recorded instead of slept.
struct RecordingSleep {
  std::vector<std::chrono::microseconds> sleeps;
  FeetechProtocolHandler handler(std::optional<std::chrono::microseconds> pause = std::nullopt) {
    return FeetechProtocolHandler(pause, [this](std::chrono::microseconds d) { sleeps.push_back(d); });
  }
};

// A well-formed status packet from id with the given error byte and params.
// Sized once and filled a byte at a time: GCC 12 and 14 at -O2/-O3 each find
// a false overflow in the growth or copy paths of the shorter ways to write it.
inline Bytes status(std::uint8_t id, std::uint8_t error, const Bytes& params = {}) {
  Bytes b(params.size() + 6);
  b[0] = 0xFF;
  b[1] = 0xFF;
  b[2] = id;
  b[3] = static_cast<std::uint8_t>(params.size() + 2);
  b[4] = error;
  for (std::size_t i = 0; i < params.size(); ++i) b[5 + i] = params[i];
  std::uint8_t sum = 0;
  for (std::size_t i = 2; i + 1 < b.size(); ++i) sum = static_cast<std::uint8_t>(sum + b[i]);
  b.back() = static_cast<std::uint8_t>(~sum);
  return b;
}

}  // namespace servocom::testing
