#pragma once
// A CanTransport that records what is sent and hands out scripted receive
// results in order; with nothing scripted, recv times out at once. Frames
// without a receive time are stamped as they are handed out, as the kernel
// would have stamped them on arrival (stamp empty: left unstamped).

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "motorcom/can.hpp"

namespace motorcom::testing {

inline CanFrame frame(CanId id, std::vector<std::uint8_t> data) { return CanFrame{std::move(data), id, false, false}; }

class ScriptedBus : public CanTransport {
 public:
  std::vector<CanFrame> sent;
  std::vector<std::chrono::nanoseconds> recv_timeouts;
  std::deque<CanResult<CanFrame>> script;
  std::optional<CanError> send_error;
  // When set, consulted once the script is used up (instead of timing out).
  std::function<CanResult<CanFrame>(std::chrono::nanoseconds)> endless;
  WallClock stamp = [] { return std::chrono::system_clock::now(); };

  void reply(CanFrame f) { script.emplace_back(std::move(f)); }
  void fail(CanError e) { script.emplace_back(std::unexpected(e)); }

  CanResult<void> send(const CanFrame& f) override {
    sent.push_back(f);
    if (send_error) return std::unexpected(*send_error);
    return {};
  }

  CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) override {
    recv_timeouts.push_back(timeout);
    CanResult<CanFrame> r = std::unexpected(CanError::timeout());
    if (!script.empty()) {
      r = std::move(script.front());
      script.pop_front();
    } else if (endless) {
      r = endless(timeout);
    }
    if (r && stamp && r->received_at == std::chrono::system_clock::time_point{}) r->received_at = stamp();
    return r;
  }
};

}  // namespace motorcom::testing
