#include "interfaces.hpp"

#include <net/if.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vcan {
namespace {

constexpr const char* kDefaultDir = "/tmp/velmora-vcan";

// Fixed storage: no allocation, usable before main.
struct Registry {
  char names[kMaxInterfaces][IF_NAMESIZE];
  unsigned count;
};
constinit std::mutex g_mutex;
constinit Registry g_registry{};

bool valid_name(const char* name) {
  if (name == nullptr) return false;
  const std::size_t n = ::strnlen(name, IF_NAMESIZE);
  if (n == 0 || n >= IF_NAMESIZE) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strchr(name, '/') == nullptr;
}

bool hub_exists(const char* name) {
  sockaddr_un addr;
  if (!hub_address(name, addr)) return false;
  const int saved = errno;
  struct stat st;
  const bool found = ::stat(addr.sun_path, &st) == 0 && S_ISSOCK(st.st_mode);
  errno = saved;
  return found;
}

}  // namespace

bool hub_address(const char* name, sockaddr_un& out) {
  const char* dir = std::getenv("VELMORA_VCAN_DIR");
  if (dir == nullptr || *dir == '\0') dir = kDefaultDir;
  const std::size_t dn = std::strlen(dir);
  const std::size_t nn = std::strlen(name);
  if (dn + 1 + nn + 1 > sizeof out.sun_path) return false;
  std::memset(&out, 0, sizeof out);
  out.sun_family = AF_UNIX;
  std::memcpy(out.sun_path, dir, dn);
  out.sun_path[dn] = '/';
  std::memcpy(out.sun_path + dn + 1, name, nn);
  return true;
}

unsigned hub_index(const char* name) {
  if (!valid_name(name) || !hub_exists(name)) return 0;
  std::lock_guard lock(g_mutex);
  for (unsigned i = 0; i < g_registry.count; ++i) {
    if (std::strcmp(g_registry.names[i], name) == 0) return kFirstIndex + i;
  }
  if (g_registry.count == kMaxInterfaces) return 0;
  std::strcpy(g_registry.names[g_registry.count], name);
  return kFirstIndex + g_registry.count++;
}

bool hub_name(unsigned index, char* out) {
  if (index < kFirstIndex) return false;
  std::lock_guard lock(g_mutex);
  if (index - kFirstIndex >= g_registry.count) return false;
  std::strcpy(out, g_registry.names[index - kFirstIndex]);
  return true;
}

void lock_interfaces() { g_mutex.lock(); }
void unlock_interfaces() { g_mutex.unlock(); }

}  // namespace vcan
