#include "socket_table.hpp"

#include <atomic>
#include <mutex>

namespace vcan {
namespace {

struct Slot {
  int fd;  // -1 when free
  SocketState state;
};

struct Table {
  Slot slots[kMaxSockets];
};

constexpr Table empty_table() {
  Table t{};
  for (auto& s : t.slots) s.fd = -1;
  return t;
}

constinit std::mutex g_mutex;
constinit Table g_table = empty_table();
// Lets close() and dup*() of ordinary descriptors skip the lock entirely.
constinit std::atomic<int> g_count{0};

Slot* slot_of(int fd) {
  for (auto& s : g_table.slots) {
    if (s.fd == fd) return &s;
  }
  return nullptr;
}

bool put(int fd, const SocketState& state) {
  Slot* s = slot_of(fd);
  if (s == nullptr) {
    s = slot_of(-1);
    if (s == nullptr) return false;
    s->fd = fd;
    g_count.fetch_add(1, std::memory_order_release);
  }
  s->state = state;
  return true;
}

void drop(int fd) {
  if (Slot* s = slot_of(fd)) {
    s->fd = -1;
    g_count.fetch_sub(1, std::memory_order_release);
  }
}

bool empty() { return g_count.load(std::memory_order_acquire) == 0; }

}  // namespace

bool track(int fd, const SocketState& state) {
  std::lock_guard lock(g_mutex);
  return put(fd, state);
}

void untrack(int fd) {
  if (fd < 0 || empty()) return;
  std::lock_guard lock(g_mutex);
  drop(fd);
}

bool find(int fd, SocketState& out) {
  if (fd < 0 || empty()) return false;
  std::lock_guard lock(g_mutex);
  const Slot* s = slot_of(fd);
  if (s == nullptr) return false;
  out = s->state;
  return true;
}

void store(int fd, const SocketState& state) {
  std::lock_guard lock(g_mutex);
  if (Slot* s = slot_of(fd)) s->state = state;
}

void copy(int fd, int fd2) {
  if (fd2 < 0 || empty()) return;
  std::lock_guard lock(g_mutex);
  const Slot* s = slot_of(fd);
  if (s == nullptr) {
    drop(fd2);
    return;
  }
  const SocketState state = s->state;
  if (!put(fd2, state)) drop(fd2);
}

void lock_sockets() { g_mutex.lock(); }
void unlock_sockets() { g_mutex.unlock(); }

}  // namespace vcan
