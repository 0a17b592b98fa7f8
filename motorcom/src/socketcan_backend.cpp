#include "motorcom/socketcan_backend.hpp"

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <utility>

#include "common/unique_fd.hpp"
#include "deadline.hpp"
#include "kernel_frame.hpp"

namespace motorcom {
namespace {

using std::chrono::steady_clock;

// A write that the bus does not take within this long fails instead of
// blocking the caller for ever (a wedged bus or bus process).
constexpr std::chrono::seconds kSendTimeout{1};

int last_error() { return errno != 0 ? errno : EIO; }

timeval to_timeval(std::chrono::nanoseconds d) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  timeval tv{};
  const long long secs = us / 1'000'000;
  tv.tv_sec = static_cast<time_t>(secs > INT_MAX ? INT_MAX : secs);
  tv.tv_usec = static_cast<suseconds_t>(us % 1'000'000);
  return tv;
}

// The kernel's stamp of when the frame reached the socket, on the wall clock;
// unset when the message carries none.
std::chrono::system_clock::time_point arrival(msghdr& msg) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMP) continue;
    timeval stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(stamp.tv_sec) + std::chrono::microseconds(stamp.tv_usec)));
  }
  return {};
}

}  // namespace

SocketCanTransport::SocketCanTransport(int fd, Clock clock) : fd_(fd), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return steady_clock::now(); };
}

CanResult<std::unique_ptr<SocketCanTransport>> SocketCanTransport::open(std::string_view interface_name,
                                                                        Clock clock) {
  if (interface_name.find('\0') != std::string_view::npos) return std::unexpected(CanError::backend(EINVAL));
  const std::string name(interface_name);
  errno = 0;
  const unsigned index = ::if_nametoindex(name.c_str());
  if (index == 0) return std::unexpected(CanError::backend(errno != 0 ? errno : ENODEV));

  velmora::UniqueFd fd(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
  if (fd.get() < 0) return std::unexpected(CanError::backend(last_error()));

  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(index);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    return std::unexpected(CanError::backend(last_error()));

  const int on = 1;
  if (::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0)
    return std::unexpected(CanError::backend(last_error()));

  // The controller's own reports of trouble: bus-off, error-passive and its
  // restart. Nothing else of the error frames' kinds matters here.
  const can_err_mask_t errors = CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_RESTARTED;
  if (::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0)
    return std::unexpected(CanError::backend(last_error()));

  // Receive times let a reply collected late still count when it came in
  // time, and keep a frame queued before a request from answering it. A
  // socket that refuses them hands out unstamped frames, whose arrival
  // PendingReplies treats as not known. Microseconds are plenty against
  // time-outs of milliseconds, and this older option is the one every
  // kernel, C library and user-mode emulator carries.
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);

  const timeval send_timeout = to_timeval(kSendTimeout);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout) != 0)
    return std::unexpected(CanError::backend(last_error()));

  return std::unique_ptr<SocketCanTransport>(new SocketCanTransport(fd.release(), std::move(clock)));
}

SocketCanTransport::~SocketCanTransport() { ::close(fd_); }

CanResult<void> SocketCanTransport::send(const CanFrame& frame) {
  auto kernel = detail::to_kernel_frame(frame);
  if (!kernel) return std::unexpected(kernel.error());
  for (;;) {
    const ssize_t n = ::send(fd_, kernel->bytes.data(), kernel->size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(CanError::backend(last_error()));
    }
    // A frame socket takes a frame whole or not at all; sending the rest
    // would put a malformed frame on the bus.
    if (static_cast<std::size_t>(n) != kernel->size) return std::unexpected(CanError::backend(EIO));
    return {};
  }
}

CanResult<CanFrame> SocketCanTransport::recv(std::chrono::nanoseconds timeout) {
  const auto deadline = detail::deadline_after(clock_(), timeout);
  // One byte more than the largest frame, so that a longer message is seen
  // for what it is instead of being taken for a truncated FD frame.
  std::array<std::uint8_t, detail::kFdFrameSize + 1> buffer{};
  for (;;) {
    const auto left = deadline - clock_();
    int flags = 0;
    if (detail::expired(left)) {
      // A zero socket time-out would wait for ever: only take what is queued.
      flags = MSG_DONTWAIT;
    } else {
      const timeval tv = to_timeval(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
      if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return std::unexpected(CanError::backend(last_error()));
    }
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timeval))> control{};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(fd_, &msg, flags);
    if (n < 0) {
      const int err = last_error();
      if (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT) return std::unexpected(CanError::timeout());
      // A signal handler ran: wait again for what is left of the time.
      if (err == EINTR && flags == 0) continue;
      if (err == EINTR) return std::unexpected(CanError::timeout());
      return std::unexpected(CanError::backend(err));
    }
    // End of stream: the interface went away under the socket.
    if (n == 0) return std::unexpected(CanError::backend(ENETDOWN));
    auto frame = detail::from_kernel_frame(std::span(buffer.data(), static_cast<std::size_t>(n)));
    if (!frame) return std::unexpected(CanError::backend(EPROTO));
    frame->received_at = arrival(msg);
    return std::move(*frame);
  }
}

}  // namespace motorcom
