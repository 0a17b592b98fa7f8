#pragma once
// The bounded many-senders, one-receiver queue between Python threads and the
// loop thread. A full queue makes senders sleep until there is room; once the
// receiver is closed every send fails at once and hands the item back, so no
// item is ever lost without its sender learning it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <expected>
#include <mutex>
#include <optional>
#include <utility>

#include "control_loop/loop_clock.hpp"

namespace velmora::control_loop {

inline constexpr std::size_t kCommandQueueCapacity = 100;

template <class T>
class CommandQueue {
 public:
  explicit CommandQueue(std::size_t capacity = kCommandQueueCapacity) : capacity_(capacity) {}
  CommandQueue(const CommandQueue&) = delete;
  CommandQueue& operator=(const CommandQueue&) = delete;

  // Queues item, waiting while the queue is full; the item comes back when
  // the receiver is (or becomes) closed.
  std::expected<void, T> send(T item) {
    std::unique_lock lock(mutex_);
    not_full_.wait(lock, [&] { return !accepting() || items_.size() < capacity_; });
    return push_locked(lock, std::move(item));
  }
  // As send(), but never waits: a full queue hands the item back too, with
  // would_block set so the caller can retry with a blocking send.
  std::expected<void, T> try_send(T item, bool& would_block) {
    std::unique_lock lock(mutex_);
    would_block = accepting() && items_.size() >= capacity_;
    if (would_block) return std::unexpected(std::move(item));
    return push_locked(lock, std::move(item));
  }

  // What one wait of the receiver found.
  enum class Wake { Item, Deadline, Nudged };

  // Sleeps until an item is queued, the deadline on `clock` passes or
  // nudge() is called. Items take precedence in the answer.
  Wake wait_until(LoopClock& clock, LoopClock::TimePoint deadline) {
    std::unique_lock lock(mutex_);
    clock.wait_until(lock, not_empty_, deadline, [&] { return !items_.empty() || nudged_; });
    if (!items_.empty()) return Wake::Item;
    if (nudged_) {
      nudged_ = false;
      return Wake::Nudged;
    }
    return Wake::Deadline;
  }
  std::optional<T> try_recv() {
    std::lock_guard lock(mutex_);
    return pop_locked();
  }
  // The next item, or nothing after closing the receiver in the same step:
  // a sender racing with the end of a drain either gets its item executed or
  // gets it back.
  std::optional<T> try_recv_or_close() {
    std::lock_guard lock(mutex_);
    auto item = pop_locked();
    if (!item) close_receiver_locked();
    return item;
  }
  // Refuses every later send (blocked senders get their items back) while
  // the receiver can still take what is queued: a stop request, after which
  // the drain is bounded by what was accepted before it.
  void stop_accepting() {
    std::lock_guard lock(mutex_);
    refusing_ = true;
    not_full_.notify_all();
  }
  // Closes the receiving end; queued items are dropped (their reply
  // channels close) and blocked senders get their items back.
  void close_receiver() {
    std::deque<T> dropped;
    {
      std::lock_guard lock(mutex_);
      close_receiver_locked();
      dropped.swap(items_);
    }
  }
  // False from the moment sends are refused (a stop request, or the
  // receiver gone).
  bool is_accepting() {
    std::lock_guard lock(mutex_);
    return accepting();
  }
  // Ends the receiver's current wait early (used to make a stop request
  // take effect without waiting for the next tick).
  void nudge() {
    std::lock_guard lock(mutex_);
    nudged_ = true;
    not_empty_.notify_all();
  }

 private:
  std::expected<void, T> push_locked(std::unique_lock<std::mutex>&, T item) {
    if (!accepting()) return std::unexpected(std::move(item));
    items_.push_back(std::move(item));
    not_empty_.notify_one();
    return {};
  }
  std::optional<T> pop_locked() {
    if (items_.empty()) return std::nullopt;
    T item = std::move(items_.front());
    items_.pop_front();
    not_full_.notify_one();
    return item;
  }
  bool accepting() const { return !receiver_closed_ && !refusing_; }
  void close_receiver_locked() {
    receiver_closed_ = true;
    not_full_.notify_all();
  }

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<T> items_;
  bool receiver_closed_ = false;
  bool refusing_ = false;
  bool nudged_ = false;
};

}  // namespace velmora::control_loop
