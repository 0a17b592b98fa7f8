#include <chrono>
#include <utility>

#include "deadline.hpp"
#include "motorcom/can.hpp"

namespace motorcom {

using std::chrono::steady_clock;

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, std::chrono::nanoseconds timeout,
                                          const Clock& clock) {
  PendingReplies pending(*this, clock);
  return pending.collect(pending.send(frame, [expected](const CanFrame& f) { return f.id == expected; }, timeout));
}

PendingReplies::PendingReplies(CanTransport& bus, Clock clock) : bus_(bus), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return steady_clock::now(); };
}

std::size_t PendingReplies::send(const CanFrame& frame, Matcher matches, std::chrono::nanoseconds timeout) {
  // Taken before the send: nothing that reached the socket earlier can answer.
  const auto sent = clock_();
  Request r{std::move(matches), sent, detail::deadline_after(sent, timeout), std::nullopt};
  if (auto ok = bus_.send(frame); !ok) {
    r.outcome = std::unexpected(ok.error());
  } else if (detail::expired(r.deadline - sent)) {
    // No time to answer in: nothing can.
    r.outcome = std::unexpected(CanError::timeout());
  }
  requests_.push_back(std::move(r));
  return requests_.size() - 1;
}

steady_clock::time_point PendingReplies::deliver(CanFrame frame) {
  const auto arrived = frame.received_at == steady_clock::time_point{} ? clock_() : frame.received_at;
  for (auto& r : requests_) {
    if (r.outcome || arrived < r.sent || !r.matches(frame)) continue;
    // A reply past its time-out fails its request, as if it never came.
    if (arrived > r.deadline) {
      r.outcome = std::unexpected(CanError::timeout());
    } else {
      r.outcome = std::move(frame);
    }
    break;
  }
  return arrived;
}

CanResult<CanFrame> PendingReplies::collect(std::size_t n) {
  Request& r = requests_.at(n);
  while (!r.outcome) {
    // Past the deadline, frames already queued are still looked at (they may
    // have arrived in time): recv with no time left takes only those.
    const auto left = r.deadline - clock_();
    auto frame = bus_.recv(detail::expired(left) ? std::chrono::nanoseconds::zero()
                                                 : std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    if (!frame) {
      r.outcome = std::unexpected(frame.error());
      break;
    }
    // Frames queue in the order they arrive: one that came after the
    // deadline means the reply did not come in time.
    if (deliver(std::move(*frame)) > r.deadline && !r.outcome) r.outcome = std::unexpected(CanError::timeout());
  }
  return *r.outcome;
}

}  // namespace motorcom
