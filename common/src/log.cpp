#include "common/log.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace velmora::log {
namespace {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<std::uint8_t> g_max_level{static_cast<std::uint8_t>(Level::Trace)};

struct Taps {
  std::mutex mutex;
  std::uint64_t next_id = 1;
  std::vector<std::pair<std::uint64_t, std::shared_ptr<const Tap>>> taps;
  std::atomic<bool> any{false};
};

// Never destroyed: threads may log during static destruction.
Taps& taps() {
  static auto* t = new Taps;
  return *t;
}

void tell_taps(Level level, std::string_view target, std::string_view message) noexcept {
  Taps& t = taps();
  if (!t.any.load(std::memory_order_acquire)) return;
  std::vector<std::shared_ptr<const Tap>> now;
  {
    std::lock_guard lock(t.mutex);
    for (const auto& [id, tap] : t.taps) now.push_back(tap);
  }
  for (const auto& tap : now) {
    try {
      (*tap)(level, target, message);
    } catch (...) {
      // A tap that fails loses its record; the program's own log goes on.
    }
  }
}
}  // namespace

bool set_sink(Sink* sink) noexcept {
  Sink* expected = nullptr;
  return g_sink.compare_exchange_strong(expected, sink);
}

void set_max_level(Level level) noexcept { g_max_level.store(static_cast<std::uint8_t>(level)); }

std::uint64_t add_tap(Tap tap) {
  Taps& t = taps();
  std::lock_guard lock(t.mutex);
  const std::uint64_t id = t.next_id++;
  t.taps.emplace_back(id, std::make_shared<const Tap>(std::move(tap)));
  t.any.store(true, std::memory_order_release);
  return id;
}

void remove_tap(std::uint64_t id) noexcept {
  Taps& t = taps();
  std::lock_guard lock(t.mutex);
  std::erase_if(t.taps, [id](const auto& entry) { return entry.first == id; });
  t.any.store(!t.taps.empty(), std::memory_order_release);
}

bool enabled(Level level, std::string_view target) noexcept {
  if (static_cast<std::uint8_t>(level) > g_max_level.load(std::memory_order_relaxed)) return false;
  if (taps().any.load(std::memory_order_acquire)) return true;
  Sink* sink = g_sink.load(std::memory_order_acquire);
  return sink != nullptr && sink->enabled(level, target);
}

void write(Level level, std::string_view target, std::string_view message, std::source_location where) noexcept {
  if (static_cast<std::uint8_t>(level) > g_max_level.load(std::memory_order_relaxed)) return;
  tell_taps(level, target, message);
  Sink* sink = g_sink.load(std::memory_order_acquire);
  if (sink == nullptr) return;
  sink->write(level, target, message, where.file_name(), static_cast<unsigned>(where.line()));
}

}  // namespace velmora::log
