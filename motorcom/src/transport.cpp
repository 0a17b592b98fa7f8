#include <chrono>

#include "motorcom/can.hpp"

namespace motorcom {

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, std::chrono::nanoseconds timeout) {
  if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    // A socket time-out of zero means "wait for ever": anything below its
    // resolution counts as expired.
    if (left < std::chrono::microseconds(1)) return std::unexpected(CanError::timeout());
    auto received = recv(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    if (!received) return std::unexpected(received.error());
    if (received->id == expected) return received;
  }
}

}  // namespace motorcom
