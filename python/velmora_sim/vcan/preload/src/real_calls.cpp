#include "real_calls.hpp"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>

namespace vcan::real {
namespace {

// Resolved on first use, so that calls made before main (or before this
// library's own initialisation) work; racing resolutions store the same value.
template <class Fn>
Fn resolve(std::atomic<void*>& slot, const char* name) {
  void* p = slot.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = ::dlsym(RTLD_NEXT, name);
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<Fn>(p);
}

#define VCAN_REAL(name, ret, params, args, fail)                                    \
  ret name params {                                                                 \
    constinit static std::atomic<void*> slot{nullptr};                              \
    auto fn = resolve<ret(*) params>(slot, #name);                                  \
    if (fn == nullptr) {                                                            \
      errno = ENOSYS;                                                               \
      return fail;                                                                  \
    }                                                                               \
    return fn args;                                                                 \
  }

}  // namespace

VCAN_REAL(socket, int, (int domain, int type, int protocol), (domain, type, protocol), -1)
VCAN_REAL(bind, int, (int fd, const sockaddr* addr, socklen_t len), (fd, addr, len), -1)
VCAN_REAL(setsockopt, int, (int fd, int level, int name, const void* value, socklen_t len),
          (fd, level, name, value, len), -1)
VCAN_REAL(getsockopt, int, (int fd, int level, int name, void* value, socklen_t* len), (fd, level, name, value, len),
          -1)
VCAN_REAL(close, int, (int fd), (fd), -1)
VCAN_REAL(dup, int, (int fd), (fd), -1)
VCAN_REAL(dup2, int, (int fd, int fd2), (fd, fd2), -1)
VCAN_REAL(dup3, int, (int fd, int fd2, int flags), (fd, fd2, flags), -1)
VCAN_REAL(if_nametoindex, unsigned, (const char* name), (name), 0U)
VCAN_REAL(if_indextoname, char*, (unsigned index, char* name), (index, name), nullptr)
VCAN_REAL(ioctl, int, (int fd, unsigned long request, void* arg), (fd, request, arg), -1)

}  // namespace vcan::real
