// SocketCanTransport on a real socket. By default the test process runs with
// the user-space stand-in preloaded and plays the bus itself, listening where
// a hub would and answering as the other participant. With VELMORA_KERNEL_CAN
// naming a kernel CAN interface (tools/kernel_can_check.sh sets it inside its
// virtual machine), the other participant is a raw CAN socket on that
// interface instead, and the kernel carries the frames. Tests of the Bus
// fixture run both ways; those of StandInBus only make sense on the stand-in.

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "../../motorcom/src/kernel_frame.hpp"
#include "../vcan/preload_fixture.hpp"
#include "motorcom/socketcan_backend.hpp"

namespace {

using namespace std::chrono_literals;
using motorcom::CanError;
using motorcom::CanFrame;
using motorcom::CanId;
using motorcom::SocketCanTransport;
using Bytes = std::vector<std::uint8_t>;

using vcan_test::Fd;
using vcan_test::preload_active;

Bytes classic(std::uint32_t word, Bytes data) {
  can_frame f{};
  f.can_id = word;
  f.len = static_cast<std::uint8_t>(data.size());
  if (!data.empty()) std::memcpy(f.data, data.data(), data.size());
  Bytes raw(sizeof f);
  std::memcpy(raw.data(), &f, sizeof f);
  return raw;
}

Bytes fd_frame(std::uint32_t word, std::uint8_t len, std::uint8_t flags, Bytes data) {
  canfd_frame f{};
  f.can_id = word;
  f.len = len;
  f.flags = flags;
  if (!data.empty()) std::memcpy(f.data, data.data(), data.size());
  Bytes raw(sizeof f);
  std::memcpy(raw.data(), &f, sizeof f);
  return raw;
}

CanFrame frame(CanId id, Bytes data, bool fd = false, bool brs = false) { return CanFrame{std::move(data), id, fd, brs}; }

const char* kernel_interface() {
  const char* name = std::getenv("VELMORA_KERNEL_CAN");
  return name != nullptr && *name != '\0' ? name : nullptr;
}

class Bus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* name = kernel_interface()) {
      ASSERT_FALSE(preload_active()) << "the kernel interface is tested without the stand-in";
      name_ = name;
      peer_.reset(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
      ASSERT_GE(peer_.get(), 0) << "no CAN in this kernel: " << std::strerror(errno);
      const int on = 1;
      ASSERT_EQ(::setsockopt(peer_.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on), 0) << std::strerror(errno);
      sockaddr_can addr{};
      addr.can_family = AF_CAN;
      addr.can_ifindex = static_cast<int>(::if_nametoindex(name));
      ASSERT_GT(addr.can_ifindex, 0) << name << ": " << std::strerror(errno);
      ASSERT_EQ(::bind(peer_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
      return;
    }
    if (!preload_active()) GTEST_SKIP() << "needs LD_PRELOAD=libvelmora_vcan.so (ctest sets it)";
    char tmpl[] = "/tmp/motorcom-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("VELMORA_VCAN_DIR", dir_.c_str(), 1);
    name_ = "vtest0";
    path_ = dir_ + "/" + name_;
    listener_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_GE(listener_.get(), 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(listener_.get(), 8), 0);
  }

  void TearDown() override {
    peer_.reset();
    listener_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }

  // Opens the transport; on the stand-in, takes its connection as the other participant.
  std::unique_ptr<SocketCanTransport> open(motorcom::Clock clock = {}) {
    auto t = SocketCanTransport::open(name_, std::move(clock));
    if (!t) {
      ADD_FAILURE() << t.error().message();
      return nullptr;
    }
    if (listener_.get() >= 0) {
      peer_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      EXPECT_GE(peer_.get(), 0);
    }
    return std::move(*t);
  }

  void peer_send(const Bytes& raw) {
    ASSERT_EQ(::send(peer_.get(), raw.data(), raw.size(), MSG_NOSIGNAL), static_cast<ssize_t>(raw.size()))
        << std::strerror(errno);
  }

  std::optional<Bytes> peer_recv(std::chrono::milliseconds timeout = 200ms) {
    pollfd p{peer_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    Bytes raw(128);
    const ssize_t n = ::recv(peer_.get(), raw.data(), raw.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    raw.resize(static_cast<std::size_t>(n));
    return raw;
  }

  std::string name_;
  std::string dir_;
  std::string path_;
  Fd listener_;
  Fd peer_;
};

// The hub's side of the stand-in, which a kernel does not have.
class StandInBus : public Bus {
 protected:
  void SetUp() override {
    ASSERT_EQ(kernel_interface(), nullptr) << "stand-in tests do not run on a kernel interface";
    Bus::SetUp();
  }
};

TEST_F(Bus, OpenFailuresAreBackendErrors) {
  const auto unknown = SocketCanTransport::open("nosuchcan0");
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().kind(), CanError::Kind::Backend);
  EXPECT_EQ(unknown.error().message(), "backend error: No such device");

  const std::string with_nul = name_ + std::string("\0x", 2);
  const auto r = SocketCanTransport::open(with_nul);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "backend error: Invalid argument");
}

TEST_F(StandInBus, AHubThatIsGoneLeavesAnUnknownInterface) {
  // A socket file that nobody listens on any more.
  listener_.reset();
  const auto stale = SocketCanTransport::open(name_);
  ASSERT_FALSE(stale.has_value());
  EXPECT_EQ(stale.error().message(), "backend error: No such device");
}

TEST_F(Bus, ClassicFramesOnTheWire) {
  auto t = open();
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->send(frame(CanId::standard(0x123), {1, 2, 3})).has_value());
  EXPECT_EQ(peer_recv(), classic(0x123, {1, 2, 3}));
  ASSERT_TRUE(t->send(frame(CanId::extended(0x1ABCDEF), {})).has_value());
  EXPECT_EQ(peer_recv(), classic(0x1ABCDEF | CAN_EFF_FLAG, {}));
  ASSERT_TRUE(t->send(frame(CanId::standard(0x7FF), Bytes(8, 0xEE))).has_value());
  EXPECT_EQ(peer_recv(), classic(0x7FF, Bytes(8, 0xEE)));
}

TEST_F(Bus, FdLengthIsRoundedUpAndPadded) {
  auto t = open();
  ASSERT_TRUE(t);
  const std::vector<std::pair<std::size_t, std::uint8_t>> lengths{{0, 0},   {8, 8},   {9, 12},  {12, 12}, {13, 16},
                                                                  {17, 20}, {21, 24}, {25, 32}, {33, 48}, {49, 64}, {64, 64}};
  for (const auto& [n, len] : lengths) {
    Bytes data(n, 0x5A);
    ASSERT_TRUE(t->send(frame(CanId::standard(0x10), data, true, n % 2 == 1)).has_value()) << n;
    const std::uint8_t flags = CANFD_FDF | (n % 2 == 1 ? CANFD_BRS : 0);
    EXPECT_EQ(peer_recv(), fd_frame(0x10, len, flags, data)) << n;
  }
}

TEST_F(Bus, RefusedFramesNeverReachTheBus) {
  auto t = open();
  ASSERT_TRUE(t);
  const auto too_long = t->send(frame(CanId::standard(1), Bytes(9)));
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().message(), "frame too large for selected mode: 9 bytes");
  const auto fd_too_long = t->send(frame(CanId::standard(1), Bytes(65), true));
  ASSERT_FALSE(fd_too_long.has_value());
  EXPECT_EQ(fd_too_long.error().length(), 65U);
  for (const CanId id : {CanId::standard(0x800), CanId::extended(0x20000000), CanId::standard(0xFFFFFFFF)}) {
    const auto r = t->send(frame(id, {1}));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "invalid CAN id");
  }
  EXPECT_EQ(peer_recv(50ms), std::nullopt);
  ASSERT_TRUE(t->send(frame(CanId::extended(0x1FFFFFFF), {1})).has_value());
  EXPECT_EQ(peer_recv(), classic(0x1FFFFFFF | CAN_EFF_FLAG, {1}));
}

TEST_F(Bus, ReceivesEveryKindOfFrame) {
  auto t = open();
  ASSERT_TRUE(t);
  peer_send(classic(0x321, {9, 8, 7}));
  peer_send(classic(0x1234567 | CAN_EFF_FLAG, {1}));
  auto remote = classic(CAN_RTR_FLAG | 0x55, {1, 2, 3, 4, 5, 6, 7, 8});  // asks for 8 bytes
  peer_send(remote);
  peer_send(fd_frame(0x77 | CAN_EFF_FLAG, 12, CANFD_FDF | CANFD_BRS, Bytes(9, 3)));

  auto a = t->recv(100ms);
  ASSERT_TRUE(a.has_value()) << a.error().message();
  EXPECT_EQ(a->id, CanId::standard(0x321));
  EXPECT_EQ(a->data, (Bytes{9, 8, 7}));
  EXPECT_FALSE(a->fd);

  EXPECT_FALSE(a->rtr);
  // Stamped by the kernel on arrival, on the wall clock.
  EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - a->received_at), std::chrono::seconds(5));

  auto b = t->recv(100ms);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->id, CanId::extended(0x1234567));

  auto d = t->recv(100ms);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->id, CanId::standard(0x55));
  EXPECT_TRUE(d->rtr);
  EXPECT_TRUE(d->data.empty());

  auto e = t->recv(100ms);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->id, CanId::extended(0x77));
  EXPECT_TRUE(e->fd);
  EXPECT_TRUE(e->brs);
  const Bytes padded{3, 3, 3, 3, 3, 3, 3, 3, 3, 0, 0, 0};  // nine bytes sent, padded to the FD length 12
  EXPECT_EQ(e->data, padded);
}

// A length beyond the frame: no kernel delivers one, only the hub's side can.
TEST_F(StandInBus, BogusLengthsAreCapped) {
  auto t = open();
  ASSERT_TRUE(t);
  peer_send(fd_frame(0x78, 200, CANFD_FDF, Bytes(64, 4)));
  auto f = t->recv(100ms);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->data.size(), 64U);
  EXPECT_FALSE(f->brs);
}

// The transport asks for no error frames, so no bus hands it one; should one
// come all the same, it carries all 8 bytes whatever its length field says.
TEST(KernelFrame, ErrorFramesKeepAllEightBytes) {
  auto raw = classic(CAN_ERR_FLAG | 0x4, {1, 2, 3, 4, 5, 6, 7, 8});
  raw[4] = 2;
  const auto f = motorcom::detail::from_kernel_frame(raw);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(Bus, RequestSkipsFramesOfOtherIdsAndKinds) {
  auto t = open();
  ASSERT_TRUE(t);
  peer_send(classic(0x001, {0x5}));  // queued before the request: a stale reply, not an answer
  std::optional<Bytes> request_seen;
  std::thread peer([&] {
    request_seen = peer_recv();
    peer_send(classic(0x001 | CAN_EFF_FLAG, {0xE}));  // same value, extended
    peer_send(classic(0x002, {0x2}));
    peer_send(classic(0x001, {0xA}));
  });
  const auto r = t->request(frame(CanId::standard(0x001), {0xFC}), CanId::standard(0x001), 100ms);
  peer.join();
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(r->data, Bytes{0xA});
  EXPECT_EQ(request_seen, classic(0x001, {0xFC}));
  // The skipped frames are gone.
  const auto after = t->recv(20ms);
  ASSERT_FALSE(after.has_value());
  EXPECT_EQ(after.error().kind(), CanError::Kind::Timeout);
}

TEST_F(Bus, RequestTimesOutWhileUnrelatedFramesKeepArriving) {
  auto t = open();
  ASSERT_TRUE(t);
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    const Bytes raw = classic(0x042, {1, 2});
    while (!stop.load()) {
      ::send(peer_.get(), raw.data(), raw.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(2ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const auto r = t->request(frame(CanId::standard(1), {}), CanId::standard(1), 50ms);
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  chatter.join();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "timeout waiting for frame");
  EXPECT_GE(took, 50ms);
  EXPECT_LT(took, 250ms);
}

TEST_F(Bus, ASignalDuringTheWaitNeitherFailsNorShortensIt) {
  auto t = open();
  ASSERT_TRUE(t);
  struct sigaction action{};
  struct sigaction previous{};
  action.sa_handler = [](int) {};  // no SA_RESTART: the wait is interrupted
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t waiter = ::pthread_self();
  std::thread poke([waiter] {
    std::this_thread::sleep_for(10ms);
    ::pthread_kill(waiter, SIGUSR1);
  });
  const auto start = std::chrono::steady_clock::now();
  const auto r = t->recv(60ms);
  const auto took = std::chrono::steady_clock::now() - start;
  poke.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), CanError::Kind::Timeout) << r.error().message();
  EXPECT_GE(took, 60ms);
}

TEST_F(Bus, ZeroTimeoutOnlyTakesWhatIsQueued) {
  auto t = open();
  ASSERT_TRUE(t);
  const auto start = std::chrono::steady_clock::now();
  const auto empty = t->recv(0ns);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().kind(), CanError::Kind::Timeout);

  peer_send(classic(0x9, {1}));
  std::this_thread::sleep_for(10ms);  // let the frame land
  const auto queued = t->recv(0ns);
  ASSERT_TRUE(queued.has_value());
  EXPECT_EQ(queued->id, CanId::standard(0x9));
}

TEST_F(Bus, TheReceiveDeadlineIsOnTheGivenClock) {
  // An hour passes every time the clock is read: the deadline of a long wait
  // is gone before the first receive, which then only looks at what is queued.
  auto fake_now = std::chrono::steady_clock::time_point{};
  auto t = open([&fake_now] { return fake_now += 1h; });
  ASSERT_TRUE(t);
  const auto start = std::chrono::steady_clock::now();
  const auto empty = t->recv(10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().kind(), CanError::Kind::Timeout);
}

TEST_F(StandInBus, SendToABusThatStopsReadingFailsInsteadOfHanging) {
  auto t = open();
  ASSERT_TRUE(t);
  const auto start = std::chrono::steady_clock::now();
  motorcom::CanResult<void> r;
  for (int i = 0; i < 100000 && r.has_value(); ++i) r = t->send(frame(CanId::standard(1), Bytes(8, 1)));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "backend error: Resource temporarily unavailable");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(StandInBus, VanishedBusIsAnErrorNotASignal) {
  auto t = open();
  ASSERT_TRUE(t);
  peer_.reset();
  listener_.reset();
  const auto r = t->recv(100ms);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "backend error: Network is down");
  const auto s = t->send(frame(CanId::standard(1), {1}));
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().kind(), CanError::Kind::Backend);  // Broken pipe, and no SIGPIPE
}

}  // namespace
