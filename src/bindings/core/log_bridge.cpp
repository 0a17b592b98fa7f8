#include "bindings/core/log_bridge.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/core/errors.hpp"
#include "bindings/core/gil.hpp"
#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"
#include "common/log.hpp"

namespace velmora::py {
namespace {

using log::Level;

constexpr Level kTopLevel = Level::Debug;
// How long interpreter exit waits for records already being forwarded.
constexpr auto kExitDrainBound = std::chrono::seconds(2);

int python_level(Level level) {
  switch (level) {
    case Level::Error: return 40;
    case Level::Warn: return 30;
    case Level::Info: return 20;
    case Level::Debug: return 10;
    case Level::Trace: return 5;
  }
  return 0;
}

std::string logger_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target[i] == ':' && i + 1 < target.size() && target[i + 1] == ':') {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

struct Counters {
  std::atomic<std::uint64_t> forwarded{0};
  std::atomic<std::uint64_t> dropped_cached{0};
  std::atomic<std::uint64_t> lock_taken{0};
  std::atomic<std::uint64_t> get_logger_calls{0};
  std::atomic<std::uint64_t> level_queries{0};
  std::atomic<std::uint64_t> dropped_exiting{0};
};

void bump(std::atomic<std::uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

// One Python logger and what its isEnabledFor said, per level.
struct LoggerEntry {
  enum : std::uint8_t { kUnknown = 0, kEnabled = 1, kDisabled = 2 };
  PyObject* logger = nullptr;  // strong reference, kept for the life of the process
  std::array<std::atomic<std::uint8_t>, 6> answers{};  // indexed by Level
};

// Immutable once published: readers without the interpreter lock search it
// freely. A new snapshot replaces it when a target is seen for the first time;
// old ones are kept (a reader may still be looking at one), and there are only
// as many as there are distinct targets.
struct Snapshot {
  std::vector<std::pair<std::string, LoggerEntry*>> by_target;  // sorted by target

  LoggerEntry* find(std::string_view target) const {
    auto it = std::lower_bound(by_target.begin(), by_target.end(), target,
                               [](const auto& item, std::string_view key) { return item.first < key; });
    return it != by_target.end() && it->first == target ? it->second : nullptr;
  }
};

// Tracks records that passed the "exiting" check and may still be using
// Python, so exit processing can wait for them before forwarding stops.
class ExitGate {
 public:
  bool enter() {
    in_flight_.fetch_add(1, std::memory_order_seq_cst);
    if (stopped_.load(std::memory_order_seq_cst)) {
      leave();
      return false;
    }
    return true;
  }
  void leave() {
    if (in_flight_.fetch_sub(1, std::memory_order_seq_cst) == 1 && stopped_.load(std::memory_order_seq_cst)) {
      std::lock_guard lock(mutex_);
      drained_.notify_all();
    }
  }
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }
  // Called holding the interpreter lock; releases it while waiting, so records
  // already waiting for the lock can finish.
  void stop_and_drain() {
    stopped_.store(true, std::memory_order_seq_cst);
    ReleaseGil unlocked;
    std::unique_lock lock(mutex_);
    drained_.wait_for(lock, kExitDrainBound, [this] { return in_flight_.load(std::memory_order_seq_cst) == 0; });
  }

 private:
  std::atomic<bool> stopped_{false};
  std::atomic<std::uint32_t> in_flight_{0};
  std::mutex mutex_;
  std::condition_variable drained_;
};

class PythonLogSink final : public log::Sink {
 public:
  explicit PythonLogSink(PyObject* logging) : logging_(logging) {
    auto* first = new Snapshot();
    snapshots_.emplace_back(first);
    snapshot_.store(first, std::memory_order_release);
  }

  bool enabled(Level level, std::string_view target) noexcept override {
    if (level > kTopLevel || gate_.stopped()) return false;
    LoggerEntry* entry = lookup(target);
    return entry == nullptr || answer(*entry, level) != LoggerEntry::kDisabled;
  }

  void write(Level level, std::string_view target, std::string_view message, const char* file,
             unsigned line) noexcept override {
    if (level > kTopLevel) return;
    LoggerEntry* entry = lookup(target);
    if (entry != nullptr && answer(*entry, level) == LoggerEntry::kDisabled) {
      bump(counters_.dropped_cached);
      return;
    }
    if (!gate_.enter()) {
      bump(counters_.dropped_exiting);
      return;
    }
    if (interpreter_finalizing() || Py_IsInitialized() == 0) {
      bump(counters_.dropped_exiting);
      gate_.leave();
      return;
    }
    {
      EnsureGil locked;
      bump(counters_.lock_taken);
      forward(entry, level, target, message, file, line);
    }
    gate_.leave();
  }

  void stop_for_exit() { gate_.stop_and_drain(); }
  bool stopped() const { return gate_.stopped(); }
  const Counters& counters() const { return counters_; }

 private:
  LoggerEntry* lookup(std::string_view target) const {
    return snapshot_.load(std::memory_order_acquire)->find(target);
  }

  static std::uint8_t answer(const LoggerEntry& entry, Level level) {
    return entry.answers[static_cast<std::size_t>(level)].load(std::memory_order_acquire);
  }

  // Holding the interpreter lock. A pending exception of the caller is kept
  // aside and restored: logging never changes the caller's error state, and
  // errors raised by logging itself are swallowed. All but Ctrl-C: Python
  // runs a pending signal's handler inside whatever Python code runs next,
  // logging's included, and a KeyboardInterrupt swallowed here would leave
  // the operation that logged (a homing, the voltage wait) running on. The
  // signal is raised again, for that operation's next check to see.
  void forward(LoggerEntry* entry, Level level, std::string_view target, std::string_view message,
               const char* file, unsigned line) noexcept {
    PyRef saved = take_pending_exception();
    try {
      forward_locked(entry, level, target, message, file, line);
    } catch (...) {
      // A Python error (already set) or a fault: neither reaches the code that logged.
    }
    const bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
    PyErr_Clear();
    if (interrupted) PyErr_SetInterruptEx(SIGINT);
    restore_pending_exception(std::move(saved));
  }

  void forward_locked(LoggerEntry* entry, Level level, std::string_view target, std::string_view message,
                      const char* file, unsigned line) {
    const std::string name = logger_name(target);
    if (entry == nullptr) entry = entry_for(target, name);
    const int py_level = python_level(level);

    auto& slot = entry->answers[static_cast<std::size_t>(level)];
    std::uint8_t known = slot.load(std::memory_order_acquire);
    if (known == LoggerEntry::kUnknown) {
      bump(counters_.level_queries);
      PyRef result = check(PyObject_CallMethod(entry->logger, "isEnabledFor", "i", py_level));
      const int truth = PyObject_IsTrue(result.get());
      if (truth < 0) throw_error_already_set();
      std::uint8_t fresh = truth != 0 ? LoggerEntry::kEnabled : LoggerEntry::kDisabled;
      // The first answer stored wins; later askers use it.
      if (!slot.compare_exchange_strong(known, fresh, std::memory_order_acq_rel)) fresh = known;
      known = fresh;
    }
    if (known == LoggerEntry::kDisabled) return;

    PyRef py_name = py_str(name);
    PyRef py_file = (file != nullptr && *file != '\0') ? check(PyUnicode_DecodeFSDefault(file)) : py_none();
    PyRef py_line = py_int((file != nullptr && *file != '\0') ? static_cast<std::int64_t>(line) : 0);
    PyRef py_message = py_str(message);
    PyRef no_args = check(PyTuple_New(0));
    PyRef record = check(PyObject_CallMethod(entry->logger, "makeRecord", "OiOOOOO", py_name.get(), py_level,
                                             py_file.get(), py_line.get(), py_message.get(), no_args.get(),
                                             Py_None));
    check(PyObject_CallMethod(entry->logger, "handle", "O", record.get()));
    bump(counters_.forwarded);
  }

  // The entry for a target seen for the first time. Python is called before the
  // writer mutex is taken: it may release the interpreter lock, and a thread
  // blocked on the mutex while holding that lock would then deadlock us.
  LoggerEntry* entry_for(std::string_view target, const std::string& name) {
    {
      std::lock_guard lock(writer_);
      if (auto it = by_name_.find(name); it != by_name_.end()) {
        publish(target, it->second.get());
        return it->second.get();
      }
    }
    bump(counters_.get_logger_calls);
    PyRef logger = check(PyObject_CallMethod(logging_, "getLogger", "s", name.c_str()));

    std::lock_guard lock(writer_);
    auto [it, inserted] = by_name_.try_emplace(name);
    if (inserted) {
      it->second = std::make_unique<LoggerEntry>();
      it->second->logger = logger.release();
    }
    publish(target, it->second.get());
    return it->second.get();
  }

  // Holding writer_.
  void publish(std::string_view target, LoggerEntry* entry) {
    const Snapshot* current = snapshot_.load(std::memory_order_acquire);
    if (current->find(target) != nullptr) return;
    auto next = std::make_unique<Snapshot>(*current);
    auto pos = std::lower_bound(next->by_target.begin(), next->by_target.end(), target,
                                [](const auto& item, std::string_view key) { return item.first < key; });
    next->by_target.emplace(pos, std::string(target), entry);
    snapshot_.store(next.get(), std::memory_order_release);
    snapshots_.push_back(std::move(next));
  }

  PyObject* logging_;  // the `logging` module, kept for the life of the process
  std::atomic<const Snapshot*> snapshot_{nullptr};
  std::mutex writer_;  // guards by_name_ and snapshots_; never held while calling Python
  std::map<std::string, std::unique_ptr<LoggerEntry>, std::less<>> by_name_;
  std::vector<std::unique_ptr<const Snapshot>> snapshots_;
  ExitGate gate_;
  Counters counters_;
};

// Intentionally never destroyed: native threads may log during static destruction.
PythonLogSink* g_bridge = nullptr;

std::mutex g_hooks_mutex;
std::vector<std::function<void()>> g_exit_hooks;
bool g_exit_started = false;

PyObject* at_exit(PyObject*, PyObject*) noexcept {
  std::vector<std::function<void()>> hooks;
  {
    std::lock_guard lock(g_hooks_mutex);
    g_exit_started = true;
    hooks.swap(g_exit_hooks);
  }
  for (auto& hook : hooks) {
    guarded([&] { hook(); });
  }
  // Only now: the threads the hooks join may still need to take the lock back
  // (a log handler on a loop thread that calls into the module), and
  // finalisation, which they must never see, begins after every atexit call.
  close_lock_for_exit();
  if (g_bridge != nullptr) g_bridge->stop_for_exit();
  Py_RETURN_NONE;
}

PyMethodDef g_at_exit_def = {"_velmora_log_bridge_exit", at_exit, METH_NOARGS, nullptr};

void register_at_exit() {
  PyRef atexit = check(PyImport_ImportModule("atexit"));
  PyRef callback = check(PyCFunction_New(&g_at_exit_def, nullptr));
  check(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

}  // namespace

void install_log_bridge() {
  if (g_bridge != nullptr) throw std::logic_error("the log bridge is installed already");
  PyObject* logging = PyImport_ImportModule("logging");
  if (logging == nullptr) {
    PyErr_Clear();
    throw std::runtime_error("Failed to initialize python logging");
  }
  register_at_exit();
  auto* bridge = new PythonLogSink(logging);
  if (!log::set_sink(bridge)) {
    delete bridge;
    Py_DECREF(logging);
    throw std::logic_error("a log sink is installed already");
  }
  g_bridge = bridge;
  log::set_max_level(kTopLevel);
}

void add_exit_hook(std::function<void()> hook) {
  std::lock_guard lock(g_hooks_mutex);
  if (!g_exit_started) g_exit_hooks.push_back(std::move(hook));
}

LogBridgeCounters log_bridge_counters() noexcept {
  if (g_bridge == nullptr) return {};
  const Counters& c = g_bridge->counters();
  return {c.forwarded.load(), c.dropped_cached.load(), c.lock_taken.load(),
          c.get_logger_calls.load(), c.level_queries.load(), c.dropped_exiting.load()};
}

bool log_bridge_stopped() noexcept { return g_bridge != nullptr && g_bridge->stopped(); }

}  // namespace velmora::py
