#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_port.hpp"
#include "pty_baud.hpp"
#include "servocom/feetech_handler.hpp"
#include "servocom/serial_port.hpp"

namespace servocom {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal standing in for the servo bus: the test plays the servos
// on the master side and holds a slave descriptor for its whole life, like
// the simulator does.
class Pty {
 public:
  Pty() {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    path_ = ::ttyname(slave_);
  }
  ~Pty() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  void close_master() {
    ::close(master_);
    master_ = -1;
  }

  void send(const Bytes& b) const { ASSERT_EQ(::write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

  // What the port wrote, waiting at most 1 s for n bytes.
  Bytes receive(std::size_t n) const {
    Bytes out(n);
    std::size_t got = 0;
    const auto deadline = Clock::now() + 1s;
    while (got < n && Clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t r = ::read(master_, out.data() + got, n - got);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

std::unique_ptr<SerialPort> open_or_fail(const std::string& path) {
  auto port = SerialPort::open(path);
  EXPECT_TRUE(port) << port.error().message();
  return port ? std::move(*port) : nullptr;
}

TEST(SerialPort, ConfiguresRaw8N1WithoutFlowControlAt1Mbaud) {
  Pty pty;
  ASSERT_FALSE(pty.path().empty());
  termios before{};
  ASSERT_EQ(::tcgetattr(pty.master(), &before), 0);
  before.c_iflag |= INLCR | IGNCR | ICRNL | PARMRK | IXON | IXOFF;
  before.c_oflag |= OPOST;
  before.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  before.c_cflag |= PARENB | CSTOPB | CRTSCTS | HUPCL;
  ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &before), 0);

  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  termios tio{};
  ASSERT_EQ(::tcgetattr(pty.master(), &tio), 0);  // the master reports the slave's settings
  EXPECT_EQ(tio.c_iflag & (INLCR | IGNCR | ICRNL | PARMRK | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_NE(tio.c_cflag & HUPCL, 0u) << "modem-line behaviour is left alone";
  EXPECT_EQ(testing::stored_output_baud(pty.master()), 1'000'000u);
  // Low-latency mode is best effort: a pty has none, and still opens.
  EXPECT_FALSE(port->low_latency_refused().empty());
}

TEST(SerialPort, ExchangesBytesBothWays) {
  Pty pty;
  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  // Bytes a cooked terminal would translate or swallow: CR, LF, XON, XOFF, 0xFF.
  const Bytes out{0xFF, 0xFF, 0x0D, 0x0A, 0x11, 0x13, 0x00, 0x7F};
  ASSERT_TRUE(port->write_all(out));
  EXPECT_EQ(pty.receive(out.size()), out);
  EXPECT_TRUE(port->drain());

  const Bytes in{0x0D, 0x0A, 0xFF, 0x11, 0x13, 0x03, 0x1A, 0x00};
  pty.send(in);
  Bytes buf(in.size());
  ASSERT_TRUE(port->read_exact(buf));
  EXPECT_EQ(buf, in);
  EXPECT_TRUE(port->read_exact({})) << "an empty read needs nothing";
}

TEST(SerialPort, SilentPeerTimesOutAfterAboutTheTimeout) {
  Pty pty;
  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  pty.send({0xFF});  // some of the reply, never the rest
  Bytes buf(4);
  const auto start = Clock::now();
  auto r = port->read_exact(buf);
  const auto elapsed = Clock::now() - start;
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::Io);
  EXPECT_EQ(r.error().io_kind(), IoKind::TimedOut);
  EXPECT_EQ(r.error().message(), "Operation timed out");
  EXPECT_GE(elapsed, 9ms);
  EXPECT_LT(elapsed, 500ms);
}

TEST(SerialPort, CountsWaitingBytes) {
  Pty pty;
  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  EXPECT_EQ(port->bytes_waiting(), 0u);
  pty.send({1, 2, 3, 4, 5, 6, 7});
  // The pty hands bytes over asynchronously; wait for them, within bounds.
  std::size_t waiting = 0;
  for (auto deadline = Clock::now() + 1s; Clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
    auto n = port->bytes_waiting();
    ASSERT_TRUE(n);
    if ((waiting = *n) == 7) break;
  }
  EXPECT_EQ(waiting, 7u);
  Bytes buf(7);
  ASSERT_TRUE(port->read_exact(buf));
  EXPECT_EQ(port->bytes_waiting(), 0u);
}

TEST(SerialPort, SecondOpenerIsRefusedUntilTheFirstCloses) {
  Pty pty;
  auto first = open_or_fail(pty.path());
  ASSERT_TRUE(first);
  auto second = SerialPort::open(pty.path());
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind(), Error::Kind::Port);
  const std::string& text = second.error().message();
  EXPECT_NE(text.find(pty.path()), std::string::npos) << text;
  EXPECT_TRUE(text.find("locked by another process") != std::string::npos ||
              text.find("exclusive use") != std::string::npos)
      << text;
  first.reset();
  EXPECT_TRUE(open_or_fail(pty.path()));
}

TEST(SerialPort, OpenFailuresNameThePath) {
  auto missing = SerialPort::open("/dev/does-not-exist-servo");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), Error::Kind::Port);
  EXPECT_EQ(missing.error().message(), "could not open serial port /dev/does-not-exist-servo: No such file or directory");
  Pty pty;
  auto unbounded = SerialPort::open(pty.path(), SerialPort::kDefaultBaud, std::chrono::milliseconds(-1));
  ASSERT_FALSE(unbounded);
  EXPECT_NE(unbounded.error().message().find("time-out"), std::string::npos);
  EXPECT_TRUE(open_or_fail(pty.path())) << "a refused open leaves the device free";
  auto not_tty = SerialPort::open("/dev/null");
  ASSERT_FALSE(not_tty);
  EXPECT_EQ(not_tty.error().message(), "could not open serial port /dev/null: not a terminal device");
}

TEST(SerialPort, StalledPeerMakesWritesTimeOut) {
  Pty pty;
  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  const Bytes big(1 << 20, 0x55);  // far more than the pty buffers; nobody reads
  const auto start = Clock::now();
  auto r = port->write_all(big);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().io_kind(), IoKind::TimedOut);
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST(SerialPort, VanishedPeerFailsInsteadOfHanging) {
  Pty pty;
  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  pty.close_master();
  Bytes buf(4);
  const auto start = Clock::now();
  auto r = port->read_exact(buf);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::Io);
  EXPECT_FALSE(r.error().is_retryable()) << r.error().message();
  EXPECT_NE(r.error().message().find(pty.path()), std::string::npos) << r.error().message();
  EXPECT_FALSE(port->write_all(Bytes{1, 2}));
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(SerialPort, AssemblesAReplyArrivingInPieces) {
  Pty pty;
  // The pieces' gaps are the peer thread's sleeps, which a loaded machine
  // stretches past the default 10 ms: the time-out here only bounds a failure.
  auto opened = SerialPort::open(pty.path(), SerialPort::kDefaultBaud, std::chrono::milliseconds(2000));
  ASSERT_TRUE(opened) << opened.error().message();
  auto port = std::move(*opened);
  std::thread peer([&] {
    pty.send({1, 2, 3});
    std::this_thread::sleep_for(3ms);
    pty.send({4, 5});
    std::this_thread::sleep_for(3ms);
    pty.send({6});
  });
  Bytes buf(6);
  auto r = port->read_exact(buf);
  peer.join();
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(buf, (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(SerialPort, FeetechTransactionOverAPseudoTerminal) {
  Pty pty;
  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  pty.send({0x42, 0x42});  // stale bytes from an earlier session
  std::this_thread::sleep_for(5ms);
  std::thread servo([&] {
    const Bytes request = pty.receive(8);
    if (request == Bytes{0xFF, 0xFF, 0x01, 0x04, 0x02, 0x38, 0x02, 0xBE}) {
      pty.send(testing::status(1, 0, {0x00, 0x08}));
    }
  });
  FeetechProtocolHandler handler;
  auto r = handler.read(*port, 1, 56, 2);
  servo.join();
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, (Bytes{0x00, 0x08}));
}

TEST(SerialPort, PathWithNulIsRefusedRatherThanTruncated) {
  Pty pty;
  std::string path = pty.path();
  path.push_back('\0');
  path += "x";
  auto r = SerialPort::open(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::Port);
  EXPECT_NE(r.error().message().find("NUL"), std::string::npos) << r.error().message();
  EXPECT_TRUE(open_or_fail(pty.path())) << "the device the truncated path names was not touched";
}

TEST(SerialPort, DrainReturnsOnceThePeerHasTheBytes) {
  Pty pty;
  auto port = open_or_fail(pty.path());
  ASSERT_TRUE(port);
  const Bytes packet{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
  ASSERT_TRUE(port->write_all(packet));
  std::thread reader([&] { EXPECT_EQ(pty.receive(packet.size()), packet); });
  const auto start = Clock::now();
  EXPECT_TRUE(port->drain());
  reader.join();
  EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
}  // namespace servocom
