#pragma once
// A single-use reply channel: the loop sends at most one value, or drops its
// end unanswered, and the requester waits for either. A value reaches only the
// requester that created the channel.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "control_loop/loop_clock.hpp"

namespace velmora::control_loop {

namespace detail {
template <class T>
struct ReplyState {
  std::mutex mutex;
  std::condition_variable ready;
  std::optional<T> value;
  bool sender_gone = false;
  bool receiver_gone = false;
};
}  // namespace detail

template <class T>
class ReplySender {
 public:
  explicit ReplySender(std::shared_ptr<detail::ReplyState<T>> s) : state_(std::move(s)) {}
  ReplySender(ReplySender&&) noexcept = default;
  ReplySender& operator=(ReplySender&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ReplySender(const ReplySender&) = delete;
  ReplySender& operator=(const ReplySender&) = delete;
  ~ReplySender() { release(); }

  // False when the requester no longer waits (the value is dropped).
  bool send(T value) {
    if (!state_) return false;
    auto state = std::move(state_);
    std::lock_guard lock(state->mutex);
    state->sender_gone = true;
    if (state->receiver_gone) return false;
    state->value = std::move(value);
    state->ready.notify_all();
    return true;
  }

 private:
  void release() {
    if (!state_) return;
    auto state = std::move(state_);
    std::lock_guard lock(state->mutex);
    state->sender_gone = true;
    state->ready.notify_all();
  }
  std::shared_ptr<detail::ReplyState<T>> state_;
};

template <class T>
class ReplyReceiver {
 public:
  explicit ReplyReceiver(std::shared_ptr<detail::ReplyState<T>> s) : state_(std::move(s)) {}
  ReplyReceiver(ReplyReceiver&&) noexcept = default;
  ReplyReceiver& operator=(ReplyReceiver&&) = delete;
  ReplyReceiver(const ReplyReceiver&) = delete;
  ReplyReceiver& operator=(const ReplyReceiver&) = delete;
  ~ReplyReceiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_gone = true;
  }

  // The reply, or nothing when the sender was dropped unanswered.
  std::optional<T> recv() {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return state_->value.has_value() || state_->sender_gone; });
    return take(lock);
  }
  // As recv(), giving up (nothing) once `timeout` has passed on `clock`.
  std::optional<T> recv_for(LoopClock& clock, std::chrono::nanoseconds timeout) {
    const auto deadline = clock.now() + timeout;
    std::unique_lock lock(state_->mutex);
    clock.wait_until(lock, state_->ready, deadline, [&] { return state_->value.has_value() || state_->sender_gone; });
    return take(lock);
  }

 private:
  std::optional<T> take(std::unique_lock<std::mutex>&) {
    std::optional<T> out = std::move(state_->value);
    state_->value.reset();
    return out;
  }
  std::shared_ptr<detail::ReplyState<T>> state_;
};

template <class T>
std::pair<ReplySender<T>, ReplyReceiver<T>> make_reply_channel() {
  auto state = std::make_shared<detail::ReplyState<T>>();
  return {ReplySender<T>(state), ReplyReceiver<T>(state)};
}

}  // namespace velmora::control_loop
