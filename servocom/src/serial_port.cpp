#include "servocom/serial_port.hpp"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <cstring>
#include <string>
#include <thread>

#include "common/unique_fd.hpp"
#include "serial_baud.hpp"

namespace servocom {

namespace {

std::string errno_text(int err) { return std::strerror(err); }

Error open_error(const std::string& path, const std::string& reason) {
  return Error::port("could not open serial port " + path + ": " + reason);
}

Error timed_out() { return Error::io(IoKind::TimedOut, "Operation timed out"); }
Error interrupted() { return Error::io(IoKind::Interrupted, errno_text(EINTR)); }

Error io_error(const std::string& path, const char* what, int err) {
  if (err == EINTR) return interrupted();
  return Error::io(IoKind::Other, "serial port " + path + ": " + what + " failed: " + errno_text(err));
}

// What a tty gives once its device is gone: a pulled USB adapter hangs it up.
bool device_gone(int err) { return err == EIO || err == ENODEV || err == ENXIO || err == EPIPE; }

// The hang-up poll reports without data, as the errno a call would give.
constexpr int kHungUp = EIO;

// Raw 8N1 without flow control; modem lines (and HUPCL, which drops DTR on
// close) are left as they are.
bool make_raw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK | IUCLC | IMAXBEL);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  // Reads never block in the kernel's line discipline: poll() bounds every wait.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Asks the adapter's driver to pass received bytes on at once (the FTDI
// driver then drops its latency timer from 16 ms to 1 ms). 0 when granted,
// otherwise the errno: a pseudo-terminal has no such setting.
int request_low_latency(int fd) {
  serial_struct ss{};
  if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return errno;
  // The flags field is an int, the flag constant unsigned.
  constexpr int kLowLatency = static_cast<int>(ASYNC_LOW_LATENCY);
  if ((ss.flags & kLowLatency) != 0) return 0;
  ss.flags |= kLowLatency;
  return ::ioctl(fd, TIOCSSERIAL, &ss) == 0 ? 0 : errno;
}

// Waits for events on fd for at most timeout: 0 when ready, -1 on time-out,
// otherwise the errno of the device's failure.
int wait_for(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd p{fd, events, 0};
  // poll() reads a negative time-out as "forever": never let one through.
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, std::numeric_limits<int>::max());
  const int n = ::poll(&p, 1, static_cast<int>(ms));
  if (n < 0) return errno;
  if (n == 0) return -1;
  if ((p.revents & events) != 0) return 0;
  if ((p.revents & POLLNVAL) != 0) return EBADF;
  // POLLERR or POLLHUP without data: the device went away.
  return kHungUp;
}

}  // namespace

Result<std::unique_ptr<SerialPort>> SerialPort::open(const std::string& path, unsigned baud,
                                                      std::chrono::milliseconds timeout, Clock clock, Sleep sleep) {
  if (baud == 0) return std::unexpected(open_error(path, "baud rate 0 is not a speed"));
  if (timeout.count() < 0) return std::unexpected(open_error(path, "the time-out must not be negative"));
  // open() would stop at an embedded NUL and open some other device.
  if (path.find('\0') != std::string::npos) return std::unexpected(open_error(path, "the path contains a NUL byte"));
  velmora::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    if (err == EBUSY) return std::unexpected(open_error(path, "device is in exclusive use by another process"));
    return std::unexpected(open_error(path, errno_text(err)));
  }
  if (!::isatty(fd.get())) return std::unexpected(open_error(path, "not a terminal device"));
  // The lock first: it is what stops a root opener, for whom TIOCEXCL is
  // ignored, and failing here leaves the holder's exclusive mode alone.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) return std::unexpected(open_error(path, "device is locked by another process"));
    return std::unexpected(open_error(path, "could not lock the device: " + errno_text(err)));
  }
  if (::ioctl(fd.get(), TIOCEXCL) != 0) {
    return std::unexpected(open_error(path, "could not get exclusive access: " + errno_text(errno)));
  }
  // From here on, failing must also undo the exclusive mode we set.
  auto fail = [&](const std::string& what, int err) {
    ::ioctl(fd.get(), TIOCNXCL);
    return std::unexpected(Error::port("could not configure serial port " + path + ": " + what + ": " +
                                       errno_text(err)));
  };
  if (!make_raw(fd.get())) return fail("raw mode", errno);
  if (int err = detail::set_baud(fd.get(), baud); err != 0) return fail("baud rate " + std::to_string(baud), err);
  const int low_latency = request_low_latency(fd.get());
  auto port = std::unique_ptr<SerialPort>(
      new SerialPort(fd.release(), path, baud, timeout, std::move(clock), std::move(sleep)));
  if (low_latency != 0) port->low_latency_refused_ = errno_text(low_latency);
  return port;
}

SerialPort::SerialPort(int fd, std::string path, unsigned baud, std::chrono::milliseconds timeout, Clock clock,
                       Sleep sleep)
    : fd_(fd),
      path_(std::move(path)),
      baud_(baud),
      timeout_(timeout),
      clock_(std::move(clock)),
      sleep_(std::move(sleep)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
  if (!sleep_) sleep_ = [](std::chrono::microseconds d) { std::this_thread::sleep_for(d); };
}

Error SerialPort::failure(const char* what, int err) {
  if (device_gone(err) && !lost_) lost_ = std::string(what) + " failed: " + errno_text(err);
  return io_error(path_, what, err);
}

SerialPort::~SerialPort() {
  // Exclusive mode outlives our descriptor while anyone else holds the
  // device open (a simulator's pty slave); clear it so a reopen works.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
}

Result<std::size_t> SerialPort::bytes_waiting() {
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) != 0) return std::unexpected(failure("counting waiting bytes", errno));
  return static_cast<std::size_t>(count < 0 ? 0 : count);
}

Result<void> SerialPort::read_exact(std::span<std::uint8_t> buf) {
  std::size_t got = 0;
  bool polled_ready = false;
  while (got < buf.size()) {
    const ssize_t n = ::read(fd_, buf.data() + got, buf.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      polled_ready = false;
      continue;
    }
    if (n < 0 && errno != EAGAIN) return std::unexpected(failure("read", errno));
    // Readable yet nothing to read: end of file, the device is gone.
    if (n == 0 && polled_ready) return std::unexpected(failure("read", kHungUp));
    if (const int w = wait_for(fd_, POLLIN, timeout_); w != 0) {
      return std::unexpected(w < 0 ? timed_out() : failure("read", w));
    }
    polled_ready = true;
  }
  return {};
}

Result<void> SerialPort::write_all(std::span<const std::uint8_t> data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + sent, data.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN) return std::unexpected(failure("write", errno));
    if (const int w = wait_for(fd_, POLLOUT, timeout_); w != 0) {
      return std::unexpected(w < 0 ? timed_out() : failure("write", w));
    }
  }
  return {};
}

Result<void> SerialPort::drain() {
  // tcdrain() alone has no time bound, and a stalled adapter would hang the
  // caller. Wait first for the driver's output queue to empty, sleeping about
  // as long as the queued bytes need on the wire, and give up after that time
  // plus the write time-out; tcdrain() then waits only for the last bytes in
  // the UART itself.
  auto wire_time = [this](int bytes) {
    // 10 bits a byte (8N1); at least a millisecond per sleep.
    const auto us = static_cast<std::int64_t>(bytes) * 10'000'000 / static_cast<std::int64_t>(baud_);
    return std::max(std::chrono::microseconds(us), std::chrono::microseconds(1000));
  };
  int queued = 0;
  if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return std::unexpected(failure("drain", errno));
  const auto deadline = clock_() + wire_time(queued) + timeout_;
  while (queued > 0) {
    if (clock_() >= deadline) return std::unexpected(timed_out());
    sleep_(wire_time(queued));
    if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return std::unexpected(failure("drain", errno));
  }
  if (::tcdrain(fd_) != 0) return std::unexpected(failure("drain", errno));
  return {};
}

}  // namespace servocom
