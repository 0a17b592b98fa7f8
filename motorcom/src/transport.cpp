#include <chrono>
#include <utility>

#include "deadline.hpp"
#include "motorcom/can.hpp"

namespace motorcom {
namespace {

using std::chrono::steady_clock;
using std::chrono::system_clock;

// Past its deadline a request takes only frames already queued. Stamped ones
// tell when the queue reaches frames that came too late; without stamps it
// looks at no more than a receive queue holds, so traffic that keeps coming
// cannot keep it waiting.
constexpr std::size_t kMostQueuedFrames = 256;

bool stamped(const CanFrame& f) { return f.received_at != system_clock::time_point{}; }

}  // namespace

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, std::chrono::nanoseconds timeout,
                                          const Clock& clock) {
  PendingReplies pending(*this, clock);
  return pending.collect(pending.send(frame, [expected](const CanFrame& f) { return f.id == expected; }, timeout));
}

PendingReplies::PendingReplies(CanTransport& bus, Clock clock, WallClock wall)
    : bus_(bus), clock_(std::move(clock)), wall_(std::move(wall)) {
  if (!clock_) clock_ = [] { return steady_clock::now(); };
  if (!wall_) wall_ = [] { return system_clock::now(); };
}

std::size_t PendingReplies::send(const CanFrame& frame, Matcher matches, std::chrono::nanoseconds timeout) {
  // Taken before the send: nothing that reached the socket earlier can answer.
  const auto sent = clock_();
  const auto sent_wall = wall_();
  Request r{std::move(matches), detail::deadline_after(sent, timeout), sent_wall,
            detail::deadline_after(sent_wall, timeout), std::nullopt};
  if (auto ok = bus_.send(frame); !ok) {
    r.outcome = std::unexpected(ok.error());
  } else if (detail::expired(r.deadline - sent)) {
    // No time to answer in: nothing can.
    r.outcome = std::unexpected(CanError::timeout());
  }
  requests_.push_back(std::move(r));
  return requests_.size() - 1;
}

void PendingReplies::deliver(CanFrame frame) {
  // No device sends these: they answer nothing.
  if (frame.error || frame.rtr) return;
  const bool known = stamped(frame);
  for (auto& r : requests_) {
    if (r.outcome || (known && frame.received_at < r.sent_wall) || !r.matches(frame)) continue;
    // A reply past its time-out fails its request, as if it never came.
    if (known && frame.received_at > r.deadline_wall) {
      r.outcome = std::unexpected(CanError::timeout());
    } else {
      r.outcome = std::move(frame);
    }
    return;
  }
}

CanResult<CanFrame> PendingReplies::collect(std::size_t n) {
  Request& r = requests_.at(n);
  std::size_t queued_unstamped = 0;
  while (!r.outcome) {
    // Past the deadline, frames already queued are still looked at (they may
    // have arrived in time): recv with no time left takes only those.
    const auto left = r.deadline - clock_();
    const bool past = detail::expired(left);
    auto frame = bus_.recv(past ? std::chrono::nanoseconds::zero()
                                : std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    if (!frame) {
      r.outcome = std::unexpected(frame.error());
      break;
    }
    const bool known = stamped(*frame);
    const auto arrived = frame->received_at;
    deliver(std::move(*frame));
    if (r.outcome) break;
    // Frames queue in the order they arrive: one that came after the
    // deadline means the reply did not come in time.
    if ((known && arrived > r.deadline_wall) || (!known && past && ++queued_unstamped > kMostQueuedFrames))
      r.outcome = std::unexpected(CanError::timeout());
  }
  return *r.outcome;
}

}  // namespace motorcom
