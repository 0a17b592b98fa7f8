#pragma once
// The CAN raw sockets this library knows of, by descriptor: virtual ones
// (AF_UNIX SOCK_SEQPACKET standing in for a CAN socket) and real ones that a
// bind to a virtual interface may still turn into virtual ones. Fixed size,
// one mutex, no allocation.

#include <sys/socket.h>

#include <cstdint>

namespace vcan {

inline constexpr int kMaxSockets = 256;
inline constexpr socklen_t kMaxFilterBytes = 16 * 8;  // 16 struct can_filter

struct SocketState {
  bool is_virtual = false;
  unsigned index = 0;  // bound interface, 0 while unbound
  // SOL_CAN_RAW options, as set (filters are remembered, not applied).
  int err_filter = 0;
  int loopback = 1;
  int recv_own_msgs = 0;
  int fd_frames = 0;
  int join_filters = 0;
  int xl_frames = 0;
  bool filter_set = false;
  socklen_t filter_len = 0;
  unsigned char filter[kMaxFilterBytes] = {};
};

// False when the table is full.
bool track(int fd, const SocketState& state);
void untrack(int fd);
// A copy of the state of fd; false when fd is not tracked.
bool find(int fd, SocketState& out);
// Replaces the state of fd if it is tracked.
void store(int fd, const SocketState& state);
// Gives fd2 the state of fd (fd2 untracked when fd is not tracked).
void copy(int fd, int fd2);

void lock_sockets();
void unlock_sockets();

}  // namespace vcan
