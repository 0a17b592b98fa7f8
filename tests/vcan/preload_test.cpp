#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <fstream>

#include "preload_fixture.hpp"

namespace {

using vcan_test::Fd;
using vcan_test::HubDir;

int can_socket(int flags = 0) { return ::socket(PF_CAN, SOCK_RAW | flags, CAN_RAW); }

int bind_to(int fd, unsigned index) {
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(index);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

int get_int(int fd, int level, int name) {
  int v = -1;
  socklen_t n = sizeof v;
  EXPECT_EQ(::getsockopt(fd, level, name, &v, &n), 0) << std::strerror(errno);
  EXPECT_EQ(n, sizeof v);
  return v;
}

unsigned real_index(const char* name) {
  std::ifstream f(std::string("/sys/class/net/") + name + "/ifindex");
  unsigned v = 0;
  f >> v;
  return v;
}

TEST_F(HubDir, OtherSocketsAndNamesPassThrough) {
  EXPECT_EQ(::if_nametoindex("lo"), real_index("lo"));
  char name[IF_NAMESIZE] = {};
  ASSERT_NE(::if_indextoname(real_index("lo"), name), nullptr);
  EXPECT_STREQ(name, "lo");

  Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(udp.get(), 0);
  EXPECT_EQ(get_int(udp.get(), SOL_SOCKET, SO_DOMAIN), AF_INET);
  EXPECT_NE(::setsockopt(udp.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &udp, sizeof(int)), 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(udp.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);

  // Other CAN protocols are not stood in for.
  const int bcm = ::socket(PF_CAN, SOCK_DGRAM, CAN_BCM);
  if (bcm >= 0) {
    ::close(bcm);
  } else {
    EXPECT_TRUE(errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT) << std::strerror(errno);
  }
  EXPECT_EQ(::close(-1), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(HubDir, NamesWithAHubGetAStableIndex) {
  add_hub("vc0");
  add_hub("vc1");
  const unsigned a = ::if_nametoindex("vc0");
  const unsigned b = ::if_nametoindex("vc1");
  EXPECT_NE(a, 0U);
  EXPECT_NE(b, 0U);
  EXPECT_NE(a, b);
  EXPECT_EQ(::if_nametoindex("vc0"), a);
  EXPECT_NE(a, real_index("lo"));
  char name[IF_NAMESIZE] = {};
  ASSERT_NE(::if_indextoname(b, name), nullptr);
  EXPECT_STREQ(name, "vc1");

  // The way Python resolves names: an ioctl on any socket.
  Fd any(::socket(AF_UNIX, SOCK_DGRAM, 0));
  ifreq req{};
  std::strcpy(req.ifr_name, "vc0");
  ASSERT_EQ(::ioctl(any.get(), SIOCGIFINDEX, &req), 0);
  EXPECT_EQ(static_cast<unsigned>(req.ifr_ifindex), a);
  ifreq back{};
  back.ifr_ifindex = static_cast<int>(b);
  ASSERT_EQ(::ioctl(any.get(), SIOCGIFNAME, &back), 0);
  EXPECT_STREQ(back.ifr_name, "vc1");
  std::strcpy(req.ifr_name, "lo");
  ASSERT_EQ(::ioctl(any.get(), SIOCGIFINDEX, &req), 0);
  EXPECT_EQ(static_cast<unsigned>(req.ifr_ifindex), real_index("lo"));
}

TEST_F(HubDir, NamesWithoutAHubAreUnknown) {
  std::ofstream(dir_ + "/plainfile") << "x";
  for (const char* name : {"nohub0", "plainfile", "..", "a/b", "", "averyveryverylongname"}) {
    errno = 0;
    EXPECT_EQ(::if_nametoindex(name), 0U) << name;
    EXPECT_EQ(errno, ENODEV) << name;
  }
  ::unlink((dir_ + "/plainfile").c_str());
  Fd any(::socket(AF_UNIX, SOCK_DGRAM, 0));
  ifreq req{};
  std::strcpy(req.ifr_name, "nohub0");
  EXPECT_EQ(::ioctl(any.get(), SIOCGIFINDEX, &req), -1);
  char name[IF_NAMESIZE];
  EXPECT_EQ(::if_indextoname(0x7FFFFFF0U, name), nullptr);
}

TEST_F(HubDir, RawOptionsAreRememberedPerSocket) {
  Fd s(can_socket());
  ASSERT_GE(s.get(), 0) << std::strerror(errno);
  EXPECT_EQ(get_int(s.get(), SOL_SOCKET, SO_DOMAIN), AF_CAN);
  EXPECT_EQ(get_int(s.get(), SOL_SOCKET, SO_TYPE), SOCK_RAW);
  EXPECT_EQ(get_int(s.get(), SOL_SOCKET, SO_PROTOCOL), 0);  // as the kernel reports it
  EXPECT_EQ(get_int(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES), 0);
  EXPECT_EQ(get_int(s.get(), SOL_CAN_RAW, CAN_RAW_LOOPBACK), 1);

  const int on = 1;
  ASSERT_EQ(::setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on), 0);
  EXPECT_EQ(get_int(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES), 1);
  Fd other(can_socket());
  EXPECT_EQ(get_int(other.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES), 0);

  const char small = 1;
  EXPECT_EQ(::setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &small, sizeof small), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(::setsockopt(s.get(), SOL_CAN_RAW, 99, &on, sizeof on), -1);
  EXPECT_EQ(errno, ENOPROTOOPT);

  const std::array<can_filter, 2> filters{{{0x123, CAN_SFF_MASK}, {0x7FF, 0x700}}};
  ASSERT_EQ(::setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(), sizeof filters), 0);
  std::array<can_filter, 4> got{};
  socklen_t n = sizeof(can_filter);
  EXPECT_EQ(::getsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FILTER, got.data(), &n), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(n, sizeof filters);
  n = sizeof got;
  ASSERT_EQ(::getsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FILTER, got.data(), &n), 0);
  ASSERT_EQ(n, sizeof filters);
  EXPECT_EQ(got[1].can_id, 0x7FFU);
  EXPECT_EQ(got[1].can_mask, 0x700U);
  EXPECT_EQ(::setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(), 5), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(HubDir, BindConnectsToTheHubAndKeepsTheDescriptor) {
  const int hub = add_hub("vc0");
  Fd s(can_socket(SOCK_NONBLOCK | SOCK_CLOEXEC));
  ASSERT_GE(s.get(), 0);
  const int on = 1;
  ASSERT_EQ(::setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on), 0);
  const timeval tv{0, 250000};
  ASSERT_EQ(::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
  ASSERT_EQ(::setsockopt(s.get(), SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on), 0);
  const int number = s.get();

  ASSERT_EQ(bind_to(s.get(), ::if_nametoindex("vc0")), 0) << std::strerror(errno);
  Fd peer(::accept(hub, nullptr, nullptr));
  ASSERT_GE(peer.get(), 0);
  EXPECT_EQ(s.get(), number);
  EXPECT_NE(::fcntl(s.get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(s.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(get_int(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES), 1);
  timeval kept{};
  socklen_t n = sizeof kept;
  ASSERT_EQ(::getsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &kept, &n), 0);
  EXPECT_LT(std::abs(kept.tv_usec - 250000), 10000);  // kept in kernel ticks
  EXPECT_EQ(get_int(s.get(), SOL_SOCKET, SO_TIMESTAMP), 1);

  can_frame f{};
  f.can_id = 0x42;
  f.len = 1;
  ASSERT_EQ(::send(s.get(), &f, sizeof f, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof f));
  can_frame got{};
  ASSERT_EQ(::recv(peer.get(), &got, sizeof got, 0), static_cast<ssize_t>(sizeof got));
  EXPECT_EQ(got.can_id, 0x42U);
  char buf[72];
  EXPECT_EQ(::recv(s.get(), buf, sizeof buf, 0), -1);  // non-blocking, as asked
  EXPECT_EQ(errno, EAGAIN);
}

TEST_F(HubDir, RebindMovesToTheOtherInterface) {
  const int hub0 = add_hub("vc0");
  const int hub1 = add_hub("vc1");
  Fd s(can_socket());
  ASSERT_EQ(bind_to(s.get(), ::if_nametoindex("vc0")), 0);
  Fd first(::accept(hub0, nullptr, nullptr));
  ASSERT_EQ(bind_to(s.get(), ::if_nametoindex("vc1")), 0);
  Fd second(::accept(hub1, nullptr, nullptr));
  char buf[16] = {};  // uninitialised, it could carry the error flag, which the default filter drops
  EXPECT_EQ(::recv(first.get(), buf, sizeof buf, 0), 0);  // the old connection is closed
  EXPECT_EQ(::send(second.get(), buf, sizeof buf, 0), 16);
  EXPECT_EQ(::recv(s.get(), buf, sizeof buf, 0), 16);
}

TEST_F(HubDir, BindFailures) {
  add_hub("vc0");
  Fd s(can_socket());
  EXPECT_EQ(bind_to(s.get(), 0), -1);  // every interface at once
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(bind_to(s.get(), real_index("lo")), -1);
  EXPECT_EQ(errno, ENODEV);
  const unsigned index = ::if_nametoindex("vc0");
  ::close(hubs_["vc0"]);  // the hub dies, its socket file stays
  hubs_["vc0"] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(bind_to(s.get(), index), -1);
  EXPECT_EQ(errno, ENODEV);
}

TEST_F(HubDir, DuplicatesFollowTheDescriptor) {
  Fd s(can_socket());
  const int on = 1;
  ASSERT_EQ(::setsockopt(s.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on), 0);
  Fd copy(::dup(s.get()));
  EXPECT_EQ(get_int(copy.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES), 1);

  // Something else put in the place of a CAN socket is no CAN socket.
  Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::dup2(udp.get(), copy.get()), copy.get());
  EXPECT_NE(::setsockopt(copy.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on), 0);
  EXPECT_EQ(get_int(copy.get(), SOL_SOCKET, SO_DOMAIN), AF_INET);

  // A closed CAN socket's number handed out again is an ordinary socket.
  const int number = s.get();
  s.reset();
  Fd reused(::socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_EQ(reused.get(), number);
  EXPECT_NE(::setsockopt(reused.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on), 0);
}

}  // namespace
