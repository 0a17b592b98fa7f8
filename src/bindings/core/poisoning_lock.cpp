#include "bindings/core/poisoning_lock.hpp"

#include "bindings/core/errors.hpp"

namespace velmora::py {

void PoisoningLockState::refuse_reentry() const {
  if (owner_.load() == std::this_thread::get_id()) throw_runtime_error(refusals_.unavailable);
}

std::unique_lock<std::mutex> PoisoningLockState::acquire() {
  refuse_reentry();
  std::unique_lock lock(mutex_, std::defer_lock);
  while (!lock.try_lock()) {
    ReleaseGil unlocked;
    const std::lock_guard wait(mutex_);
  }
  return lock;
}

void PoisoningLockState::refuse_if_closed_or_poisoned(std::unique_lock<std::mutex>& lock, bool closed) const {
  if (!closed && !poisoned_) return;
  lock.unlock();
  throw_runtime_error(closed ? refusals_.closed : refusals_.unavailable);
}

void PoisoningLockState::poison_if_fault() noexcept {
  if (handling_fault()) poisoned_ = true;
}

}  // namespace velmora::py
