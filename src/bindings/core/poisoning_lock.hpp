#pragma once
// One native object that Python threads use one at a time, behind a lock that
// a fault escaping an operation poisons for good and that close() ends for good.
//
// Methods keep the interpreter lock throughout an operation, so the lock
// mostly guards against re-entry and poisoning. Python code can still run
// inside an operation (a signal handler between homing cycles), and another
// thread may take the interpreter lock then; so the lock is waited for without
// the interpreter lock, and a re-entry from the thread inside an operation is
// refused instead of deadlocking on the mutex.

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "bindings/core/gil.hpp"

namespace velmora::py {

// The texts of the RuntimeErrors raised instead of running an operation.
struct LockRefusals {
  const char* unavailable;  // re-entered from inside an operation, or poisoned
  const char* closed;
};

// The part of the lock that does not depend on the object's type.
class PoisoningLockState {
 public:
  explicit PoisoningLockState(LockRefusals refusals) noexcept : refusals_(refusals) {}
  PoisoningLockState(const PoisoningLockState&) = delete;
  PoisoningLockState& operator=(const PoisoningLockState&) = delete;

  // Without waiting for an operation in progress (for a repr).
  bool is_open() const noexcept { return open_.load(); }

 protected:
  // Marks the calling thread as the one inside an operation.
  class OwnerMark {
   public:
    explicit OwnerMark(PoisoningLockState& state) noexcept : state_(state) {
      state_.owner_.store(std::this_thread::get_id());
    }
    ~OwnerMark() { state_.owner_.store(std::thread::id{}); }
    OwnerMark(const OwnerMark&) = delete;
    OwnerMark& operator=(const OwnerMark&) = delete;

   private:
    PoisoningLockState& state_;
  };

  void refuse_reentry() const;
  // The mutex, waited for without the interpreter lock; re-entry refused.
  std::unique_lock<std::mutex> acquire();
  // Unlocks and raises when the object is `closed` or the lock poisoned.
  void refuse_if_closed_or_poisoned(std::unique_lock<std::mutex>& lock, bool closed) const;
  // From a catch block holding the mutex: a fault (not a Python error
  // already set) poisons the lock.
  void poison_if_fault() noexcept;

  std::mutex mutex_;
  std::atomic<bool> open_{true};

 private:
  std::atomic<std::thread::id> owner_{};
  bool poisoned_ = false;  // guarded by mutex_
  LockRefusals refusals_;
};

template <class T>
class PoisoningLock : public PoisoningLockState {
 public:
  PoisoningLock(std::unique_ptr<T> object, LockRefusals refusals) noexcept
      : PoisoningLockState(refusals), object_(std::move(object)) {}

  // Runs op(T&) holding the lock and returns what it returns.
  template <class Op>
  auto run(Op&& op) {
    std::unique_lock lock = acquire();
    refuse_if_closed_or_poisoned(lock, object_ == nullptr);
    OwnerMark mark(*this);
    try {
      return std::forward<Op>(op)(*object_);
    } catch (...) {
      poison_if_fault();
      throw;
    }
  }

  // Raises as run() would, without running anything.
  void refuse_if_unusable() {
    std::unique_lock lock = acquire();
    refuse_if_closed_or_poisoned(lock, object_ == nullptr);
  }

  // Destroys the object now, poisoned or not; later calls do nothing. A thread
  // still inside an operation keeps the object until it leaves, and close
  // waits for it without the interpreter lock (an operation that gives the
  // interpreter lock up must be able to take it back to finish). The object
  // is destroyed outside both locks.
  void close() {
    refuse_reentry();
    ReleaseGil unlocked;
    std::unique_ptr<T> closing;
    {
      std::lock_guard lock(mutex_);
      closing = std::move(object_);
      open_.store(false);
    }
    closing.reset();
  }

 private:
  std::unique_ptr<T> object_;  // null once closed
};

}  // namespace velmora::py
