#pragma once
// A temporary hub directory with listening hub sockets, for tests that run
// with libvelmora_vcan.so preloaded.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace vcan_test {

inline bool preload_active() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("libvelmora_vcan.so") != std::string::npos) return true;
  }
  return false;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

class HubDir : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!preload_active()) GTEST_SKIP() << "needs LD_PRELOAD=libvelmora_vcan.so (ctest sets it)";
    char tmpl[] = "/tmp/vcan-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("VELMORA_VCAN_DIR", dir_.c_str(), 1);
  }

  void TearDown() override {
    for (auto& [name, fd] : hubs_) {
      ::close(fd);
      ::unlink((dir_ + "/" + name).c_str());
    }
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }

  // Listens where the hub of name would.
  int add_hub(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (dir_ + "/" + name).c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    EXPECT_EQ(::listen(fd, 16), 0);
    hubs_[name] = fd;
    return fd;
  }

  std::string dir_;
  std::map<std::string, int> hubs_;
};

}  // namespace vcan_test
