// The stand-in's tables under concurrent use, and fork while they are busy.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>
#include <vector>

#include "preload_fixture.hpp"

namespace {

using vcan_test::HubDir;

// Each thread works on sockets of its own; every read must give back what
// that thread stored, never another thread's value.
void churn(int tag, int rounds, std::atomic<int>& errors) {
  for (int i = 0; i < rounds; ++i) {
    const int s = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) {
      ++errors;
      continue;
    }
    const int value = tag * 100000 + i;
    if (::setsockopt(s, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &value, sizeof value) != 0) ++errors;
    int got = 0;
    socklen_t n = sizeof got;
    if (::getsockopt(s, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &got, &n) != 0 || got != value) ++errors;
    if (::if_nametoindex("vc0") == 0) ++errors;
    ::close(s);
  }
}

TEST_F(HubDir, ConcurrentSocketsKeepTheirOwnState) {
  add_hub("vc0");
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t) threads.emplace_back(churn, t, 300, std::ref(errors));
  for (auto& t : threads) t.join();
  EXPECT_EQ(errors.load(), 0);
}

TEST_F(HubDir, ForkWhileTheTablesAreBusy) {
  add_hub("vc0");
  std::atomic<int> errors{0};
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) churn(7, 10, errors);
  });
  for (int i = 0; i < 10; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Would hang here if a lock had been copied while held.
      const int s = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
      const bool ok = s >= 0 && ::if_nametoindex("vc0") != 0 && ::close(s) == 0;
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop = true;
  busy.join();
  EXPECT_EQ(errors.load(), 0);
}

}  // namespace
