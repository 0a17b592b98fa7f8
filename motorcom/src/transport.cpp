#include <chrono>

#include "deadline.hpp"
#include "motorcom/can.hpp"

namespace motorcom {

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, std::chrono::nanoseconds timeout) {
  if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
  const auto deadline = detail::deadline_after(timeout);
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (detail::expired(left)) return std::unexpected(CanError::timeout());
    auto received = recv(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    if (!received) return std::unexpected(received.error());
    if (received->id == expected) return received;
  }
}

}  // namespace motorcom
