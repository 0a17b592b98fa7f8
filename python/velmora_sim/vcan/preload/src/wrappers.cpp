// The wrapped C library calls. Anything that is not a CAN raw socket or a
// virtual interface goes to the system untouched.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/filter.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "interfaces.hpp"
#include "real_calls.hpp"
#include "socket_table.hpp"

#define VCAN_EXPORT __attribute__((visibility("default")))

namespace {

using vcan::SocketState;

// How long a bind may wait for a hub that does not accept.
constexpr timeval kConnectTimeout{1, 0};

int fail(int err) {
  errno = err;
  return -1;
}

bool is_can_raw(int domain, int type, int protocol) {
  return domain == PF_CAN && (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_RAW && protocol == CAN_RAW;
}

int* int_option(SocketState& s, int name) {
  switch (name) {
    case CAN_RAW_ERR_FILTER: return &s.err_filter;
    case CAN_RAW_LOOPBACK: return &s.loopback;
    case CAN_RAW_RECV_OWN_MSGS: return &s.recv_own_msgs;
    case CAN_RAW_FD_FRAMES: return &s.fd_frames;
    case CAN_RAW_JOIN_FILTERS: return &s.join_filters;
    case CAN_RAW_XL_FRAMES: return &s.xl_frames;
    default: return nullptr;
  }
}

int put_int(int v, void* value, socklen_t* len) {
  if (len == nullptr) return fail(EFAULT);
  const socklen_t n = *len < sizeof v ? *len : static_cast<socklen_t>(sizeof v);
  if (n > 0 && value == nullptr) return fail(EFAULT);
  std::memcpy(value, &v, n);
  *len = n;
  return 0;
}

// What the kernel never hands to a raw CAN socket, dropped on arrival by a
// socket filter on the stand-in socket: CAN FD frames unless CAN_RAW_FD_FRAMES
// is on, error frames unless CAN_RAW_ERR_FILTER names one of their classes.
// The hub is told nothing and the sender sees its send succeed, as on a bus.
// Loads of the frame's first word read it in network order.
int install_receive_filter(int fd, const SocketState& state) {
  const auto err_classes = htonl(static_cast<std::uint32_t>(state.err_filter) & CAN_ERR_MASK);
  const std::uint32_t fd_size = state.fd_frames != 0 ? 0 : CANFD_MTU;  // no frame is 0 bytes long
  constexpr auto stmt = [](unsigned code, std::uint32_t k) { return sock_filter{static_cast<std::uint16_t>(code), 0, 0, k}; };
  constexpr auto jump = [](unsigned code, std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
    return sock_filter{static_cast<std::uint16_t>(code), jt, jf, k};
  };
  sock_filter code[] = {
      stmt(BPF_LD | BPF_W | BPF_LEN, 0),
      jump(BPF_JMP | BPF_JEQ | BPF_K, fd_size, 4, 0),  // an unwanted FD frame: drop
      stmt(BPF_LD | BPF_W | BPF_ABS, 0),
      jump(BPF_JMP | BPF_JSET | BPF_K, htonl(CAN_ERR_FLAG), 0, 3),  // not an error frame: keep
      stmt(BPF_ALU | BPF_AND | BPF_K, err_classes),
      jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),  // none of the classes asked for: drop
      stmt(BPF_RET | BPF_K, 0),
      stmt(BPF_RET | BPF_K, 0xFFFFFFFF),
  };
  const sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return vcan::real::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

// Connects a fresh socket to the hub of the interface and puts it in the
// place of fd, keeping fd's number, blocking mode, close-on-exec flag and
// socket time-outs.
int attach(int fd, SocketState state, unsigned index, const char* name) {
  sockaddr_un hub;
  if (!vcan::hub_address(name, hub)) return fail(ENODEV);
  const int status = ::fcntl(fd, F_GETFL);
  const int fd_flags = ::fcntl(fd, F_GETFD);
  if (status < 0 || fd_flags < 0) return -1;

  const int conn = vcan::real::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (conn < 0) return -1;
  // Before connecting: not one frame may arrive unfiltered.
  if (install_receive_filter(conn, state) != 0) {
    const int err = errno;
    vcan::real::close(conn);
    return fail(err);
  }
  // Receive time stamps asked for before the bind: every frame must carry one.
  for (const int opt : {SO_TIMESTAMP, SO_TIMESTAMPNS}) {
    int on = 0;
    socklen_t n = sizeof on;
    if (vcan::real::getsockopt(fd, SOL_SOCKET, opt, &on, &n) == 0 && on != 0)
      vcan::real::setsockopt(conn, SOL_SOCKET, opt, &on, n);
  }
  vcan::real::setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &kConnectTimeout, sizeof kConnectTimeout);
  if (::connect(conn, reinterpret_cast<const sockaddr*>(&hub), sizeof hub) != 0) {
    const int err = errno;
    vcan::real::close(conn);
    // No hub (any more) behind the name: the interface is gone.
    return fail(err == ENOENT || err == ECONNREFUSED ? ENODEV : err);
  }
  for (const int opt : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval tv{};
    socklen_t n = sizeof tv;
    if (vcan::real::getsockopt(fd, SOL_SOCKET, opt, &tv, &n) == 0) vcan::real::setsockopt(conn, SOL_SOCKET, opt, &tv, n);
  }
  if ((status & O_NONBLOCK) != 0) ::fcntl(conn, F_SETFL, ::fcntl(conn, F_GETFL) | O_NONBLOCK);
  if (vcan::real::dup3(conn, fd, (fd_flags & FD_CLOEXEC) != 0 ? O_CLOEXEC : 0) < 0) {
    const int err = errno;
    vcan::real::close(conn);
    return fail(err);
  }
  vcan::real::close(conn);
  state.is_virtual = true;
  state.index = index;
  vcan::store(fd, state);
  return 0;
}

int set_raw_option(int fd, SocketState state, int name, const void* value, socklen_t len) {
  if (name == CAN_RAW_FILTER) {
    if (len % sizeof(can_filter) != 0) return fail(EINVAL);
    if (len > 0 && value == nullptr) return fail(EFAULT);
    state.filter_set = true;
    state.filter_len = len < vcan::kMaxFilterBytes ? len : vcan::kMaxFilterBytes;
    if (state.filter_len > 0) std::memcpy(state.filter, value, state.filter_len);
  } else {
    int* field = int_option(state, name);
    if (field == nullptr) return fail(ENOPROTOOPT);
    if (len != sizeof(int)) return fail(EINVAL);
    if (value == nullptr) return fail(EFAULT);
    std::memcpy(field, value, sizeof(int));
    if (state.index != 0 && (name == CAN_RAW_FD_FRAMES || name == CAN_RAW_ERR_FILTER) &&
        install_receive_filter(fd, state) != 0)
      return -1;
  }
  vcan::store(fd, state);
  return 0;
}

int get_raw_option(SocketState state, int name, void* value, socklen_t* len) {
  if (name == CAN_RAW_FILTER) {
    if (len == nullptr) return fail(EFAULT);
    static constexpr unsigned char kAcceptAll[sizeof(can_filter)] = {};
    const unsigned char* data = state.filter_set ? state.filter : kAcceptAll;
    const socklen_t n = state.filter_set ? state.filter_len : static_cast<socklen_t>(sizeof kAcceptAll);
    if (*len < n) {
      *len = n;
      return fail(ERANGE);
    }
    if (n > 0 && value == nullptr) return fail(EFAULT);
    if (n > 0) std::memcpy(value, data, n);
    *len = n;
    return 0;
  }
  int* field = int_option(state, name);
  if (field == nullptr) return fail(ENOPROTOOPT);
  return put_int(*field, value, len);
}

void before_fork() {
  vcan::lock_interfaces();
  vcan::lock_sockets();
}
void after_fork() {
  vcan::unlock_sockets();
  vcan::unlock_interfaces();
}

// The tables' locks must not be held by a vanished thread in a forked child.
__attribute__((constructor)) void install_fork_handlers() { ::pthread_atfork(before_fork, after_fork, after_fork); }

}  // namespace

extern "C" {

VCAN_EXPORT int socket(int domain, int type, int protocol) noexcept {
  if (!is_can_raw(domain, type, protocol)) return vcan::real::socket(domain, type, protocol);
  int fd = vcan::real::socket(domain, type, protocol);
  if (fd >= 0) {
    vcan::track(fd, SocketState{});  // a real one; still untouched if the table is full
    return fd;
  }
  if (errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT) return -1;
  fd = vcan::real::socket(AF_UNIX, SOCK_SEQPACKET | (type & (SOCK_NONBLOCK | SOCK_CLOEXEC)), 0);
  if (fd < 0) return -1;
  if (!vcan::track(fd, SocketState{.is_virtual = true})) {
    vcan::real::close(fd);
    return fail(ENOBUFS);
  }
  return fd;
}

VCAN_EXPORT int bind(int fd, const sockaddr* addr, socklen_t len) noexcept {
  SocketState state;
  if (addr == nullptr || len < sizeof(sa_family_t) || addr->sa_family != AF_CAN || !vcan::find(fd, state))
    return vcan::real::bind(fd, addr, len);
  constexpr std::size_t kIndexAt = offsetof(sockaddr_can, can_ifindex);
  if (len < kIndexAt + sizeof(int)) return state.is_virtual ? fail(EINVAL) : vcan::real::bind(fd, addr, len);
  int index = 0;
  std::memcpy(&index, reinterpret_cast<const char*>(addr) + kIndexAt, sizeof index);
  char name[IF_NAMESIZE];
  if (index > 0 && vcan::hub_name(static_cast<unsigned>(index), name))
    return attach(fd, state, static_cast<unsigned>(index), name);
  if (!state.is_virtual) return vcan::real::bind(fd, addr, len);
  // Binding to every interface at once is not offered.
  return fail(index == 0 ? EOPNOTSUPP : ENODEV);
}

VCAN_EXPORT int setsockopt(int fd, int level, int name, const void* value, socklen_t len) noexcept {
  SocketState state;
  if (level != SOL_CAN_RAW || !vcan::find(fd, state) || !state.is_virtual)
    return vcan::real::setsockopt(fd, level, name, value, len);
  return set_raw_option(fd, state, name, value, len);
}

VCAN_EXPORT int getsockopt(int fd, int level, int name, void* value, socklen_t* len) noexcept {
  SocketState state;
  if ((level != SOL_CAN_RAW && level != SOL_SOCKET) || !vcan::find(fd, state) || !state.is_virtual)
    return vcan::real::getsockopt(fd, level, name, value, len);
  if (level == SOL_CAN_RAW) return get_raw_option(state, name, value, len);
  // Report what the socket stands in for.
  switch (name) {
    case SO_DOMAIN: return put_int(AF_CAN, value, len);
    case SO_TYPE: return put_int(SOCK_RAW, value, len);
    case SO_PROTOCOL: return put_int(0, value, len);  // the kernel never records it for CAN sockets
    default: return vcan::real::getsockopt(fd, level, name, value, len);
  }
}

VCAN_EXPORT int close(int fd) {
  vcan::untrack(fd);  // first: once closed, the number may be handed out again
  return vcan::real::close(fd);
}

VCAN_EXPORT int dup(int fd) noexcept {
  const int fd2 = vcan::real::dup(fd);
  if (fd2 >= 0) vcan::copy(fd, fd2);
  return fd2;
}

VCAN_EXPORT int dup2(int fd, int fd2) noexcept {
  const int r = vcan::real::dup2(fd, fd2);
  if (r >= 0 && fd != fd2) vcan::copy(fd, fd2);
  return r;
}

VCAN_EXPORT int dup3(int fd, int fd2, int flags) noexcept {
  const int r = vcan::real::dup3(fd, fd2, flags);
  if (r >= 0) vcan::copy(fd, fd2);
  return r;
}

VCAN_EXPORT unsigned if_nametoindex(const char* name) noexcept {
  if (const unsigned index = vcan::hub_index(name)) return index;
  return vcan::real::if_nametoindex(name);
}

VCAN_EXPORT char* if_indextoname(unsigned index, char* name) noexcept {
  if (name != nullptr && vcan::hub_name(index, name)) return name;
  return vcan::real::if_indextoname(index, name);
}

VCAN_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (arg != nullptr && (request == SIOCGIFINDEX || request == SIOCGIFNAME)) {
    auto* req = static_cast<ifreq*>(arg);
    if (request == SIOCGIFINDEX) {
      char name[IF_NAMESIZE];
      std::memcpy(name, req->ifr_name, sizeof name);
      name[IF_NAMESIZE - 1] = '\0';
      if (const unsigned index = vcan::hub_index(name)) {
        req->ifr_ifindex = static_cast<int>(index);
        return 0;
      }
    } else if (req->ifr_ifindex > 0 && vcan::hub_name(static_cast<unsigned>(req->ifr_ifindex), req->ifr_name)) {
      return 0;
    }
  }
  return vcan::real::ioctl(fd, request, arg);
}

}  // extern "C"
