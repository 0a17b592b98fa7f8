#include "common/log.hpp"

#include <atomic>

namespace velmora::log {
namespace {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<std::uint8_t> g_max_level{static_cast<std::uint8_t>(Level::Trace)};
}  // namespace

bool set_sink(Sink* sink) noexcept {
  Sink* expected = nullptr;
  return g_sink.compare_exchange_strong(expected, sink);
}

void set_max_level(Level level) noexcept { g_max_level.store(static_cast<std::uint8_t>(level)); }

bool enabled(Level level, std::string_view target) noexcept {
  if (static_cast<std::uint8_t>(level) > g_max_level.load(std::memory_order_relaxed)) return false;
  Sink* sink = g_sink.load(std::memory_order_acquire);
  return sink != nullptr && sink->enabled(level, target);
}

void write(Level level, std::string_view target, std::string_view message, std::source_location where) noexcept {
  if (static_cast<std::uint8_t>(level) > g_max_level.load(std::memory_order_relaxed)) return;
  Sink* sink = g_sink.load(std::memory_order_acquire);
  if (sink == nullptr) return;
  sink->write(level, target, message, where.file_name(), static_cast<unsigned>(where.line()));
}

}  // namespace velmora::log
