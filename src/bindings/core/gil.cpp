#include "bindings/core/gil.hpp"

#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace velmora::py {
namespace {

struct ExitState {
  std::mutex mutex;
  std::condition_variable idle;
  bool closed = false;
  std::thread::id exiting;
  std::size_t taking_back = 0;  // threads between the check and holding the lock
};

// Never destroyed: parked threads outlive static destruction.
ExitState& exit_state() {
  static auto* state = new ExitState;
  return *state;
}

[[noreturn]] void sleep_until_the_process_ends() noexcept {
  for (;;) ::pause();
}

}  // namespace

void detail::restore_thread(PyThreadState* state) noexcept {
  ExitState& s = exit_state();
  {
    std::unique_lock lock(s.mutex);
    if (s.closed && std::this_thread::get_id() != s.exiting) {
      lock.unlock();
      sleep_until_the_process_ends();
    }
    ++s.taking_back;
  }
  PyEval_RestoreThread(state);
  std::lock_guard lock(s.mutex);
  if (--s.taking_back == 0 && s.closed) s.idle.notify_all();
}

void close_lock_for_exit() {
  ExitState& s = exit_state();
  {
    std::lock_guard lock(s.mutex);
    s.closed = true;
    s.exiting = std::this_thread::get_id();
    if (s.taking_back == 0) return;
  }
  // Threads already past the check wait for the lock we hold: let them have it.
  PyThreadState* self = PyEval_SaveThread();
  {
    std::unique_lock lock(s.mutex);
    s.idle.wait(lock, [&] { return s.taking_back == 0; });
  }
  PyEval_RestoreThread(self);
}

}  // namespace velmora::py
