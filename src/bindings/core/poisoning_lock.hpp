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

#include "bindings/core/errors.hpp"
#include "bindings/core/gil.hpp"

namespace velmora::py {

// The texts of the RuntimeErrors raised instead of running an operation.
struct LockRefusals {
  const char* unavailable;  // re-entered from inside an operation, or poisoned
  const char* closed;
};

template <class T>
class PoisoningLock {
 public:
  PoisoningLock(std::unique_ptr<T> object, LockRefusals refusals) noexcept
      : object_(std::move(object)), refusals_(refusals) {}
  PoisoningLock(const PoisoningLock&) = delete;
  PoisoningLock& operator=(const PoisoningLock&) = delete;

  // Runs op(T&) holding the lock and returns what it returns.
  template <class Op>
  auto run(Op&& op) {
    std::unique_lock lock = acquire_usable();
    const OwnerMark mark(owner_);
    try {
      return std::forward<Op>(op)(*object_);
    } catch (...) {
      if (handling_fault()) poisoned_ = true;
      throw;
    }
  }

  // Raises as run() would, without running anything.
  void refuse_if_unusable() { acquire_usable(); }

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

  // Without waiting for an operation in progress (for a repr).
  bool is_open() const noexcept { return open_.load(); }

 private:
  // Marks the calling thread as the one inside an operation, until it leaves.
  class OwnerMark {
   public:
    explicit OwnerMark(std::atomic<std::thread::id>& owner) noexcept : owner_(owner) {
      owner_.store(std::this_thread::get_id());
    }
    ~OwnerMark() { owner_.store(std::thread::id{}); }
    OwnerMark(const OwnerMark&) = delete;
    OwnerMark& operator=(const OwnerMark&) = delete;

   private:
    std::atomic<std::thread::id>& owner_;
  };

  void refuse_reentry() const {
    if (owner_.load() == std::this_thread::get_id()) throw_runtime_error(refusals_.unavailable);
  }

  // The mutex, waited for without the interpreter lock; raises, unlocked, on
  // re-entry or when the object is closed or the lock poisoned.
  std::unique_lock<std::mutex> acquire_usable() {
    refuse_reentry();
    std::unique_lock lock(mutex_, std::defer_lock);
    while (!lock.try_lock()) {
      ReleaseGil unlocked;
      const std::lock_guard wait(mutex_);
    }
    if (object_ && !poisoned_) return lock;
    const char* refusal = object_ ? refusals_.unavailable : refusals_.closed;
    lock.unlock();
    throw_runtime_error(refusal);
  }

  std::mutex mutex_;
  std::unique_ptr<T> object_;  // null once closed; guarded by mutex_
  bool poisoned_ = false;      // guarded by mutex_
  std::atomic<std::thread::id> owner_{};
  std::atomic<bool> open_{true};
  LockRefusals refusals_;
};

}  // namespace velmora::py
