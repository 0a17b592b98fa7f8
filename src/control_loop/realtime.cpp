#include "control_loop/realtime.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velmora::control_loop {
namespace {

constexpr int kCapSysNice = 23;

// The effective capability set of this process (/proc/self/status CapEff).
bool has_effective_capability(int cap) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    std::uint64_t bits = 0;
    std::istringstream(line.substr(7)) >> std::hex >> bits;
    return ((bits >> cap) & 1U) != 0;
  }
  return false;
}

std::string refusal(int priority, const RealtimeAllowance& a) {
  const std::string p = std::to_string(priority);
  std::string missing;
  if (!a.cap_sys_nice) missing = "no CAP_SYS_NICE";
  if (a.rtprio_limit < static_cast<std::uint64_t>(priority)) {
    if (!missing.empty()) missing += " and ";
    missing += "RLIMIT_RTPRIO " + std::to_string(a.rtprio_limit) + " (below " + p + ")";
  }
  // Both present, yet refused: the control group gives real-time threads no run time.
  if (missing.empty()) missing = "no real-time run time in its control group (cpu.rt_runtime_us)";
  return "set_realtime: the system refused SCHED_FIFO priority " + p + " for the loop thread: this process has " +
         missing + ". Grant real-time priority with a line such as 'USER - rtprio " + p +
         "' in a file under /etc/security/limits.d/ (then log in again), raise the limit of the starting shell " +
         "with 'ulimit -r " + p + "', or give the program CAP_SYS_NICE";
}

RealtimeError error(RealtimeError::Kind kind, std::string message) { return {kind, std::move(message)}; }

}  // namespace

RealtimeAllowance realtime_allowance() {
  RealtimeAllowance a;
  a.cap_sys_nice = has_effective_capability(kCapSysNice);
  rlimit limit{};
  if (::getrlimit(RLIMIT_RTPRIO, &limit) == 0) a.rtprio_limit = limit.rlim_cur;
  a.fifo_min = ::sched_get_priority_min(SCHED_FIFO);
  a.fifo_max = ::sched_get_priority_max(SCHED_FIFO);
  return a;
}

std::expected<void, RealtimeError> apply_realtime(pthread_t thread, int priority, std::optional<int> cpu) {
  const auto allowance = realtime_allowance();
  if (priority < allowance.fifo_min || priority > allowance.fifo_max) {
    return std::unexpected(error(RealtimeError::Kind::OutOfRange,
                                 "priority " + std::to_string(priority) + " is outside SCHED_FIFO's range " +
                                     std::to_string(allowance.fifo_min) + ".." + std::to_string(allowance.fifo_max)));
  }
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (cpu) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const bool in_set = *cpu >= 0 && *cpu < CPU_SETSIZE;
    const auto index = static_cast<std::size_t>(in_set ? *cpu : 0);
    if (!in_set || ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(index, &allowed)) {
      return std::unexpected(error(RealtimeError::Kind::OutOfRange,
                                   "cpu " + std::to_string(*cpu) + " is not one this process may run on"));
    }
    CPU_SET(index, &cpus);
  }

  int old_policy = SCHED_OTHER;
  sched_param old_param{};
  if (int err = ::pthread_getschedparam(thread, &old_policy, &old_param); err != 0) {
    return std::unexpected(error(RealtimeError::Kind::Failed, std::string("set_realtime: ") + std::strerror(err)));
  }
  const sched_param param{.sched_priority = priority};
  if (int err = ::pthread_setschedparam(thread, SCHED_FIFO, &param); err != 0) {
    if (err == EPERM) return std::unexpected(error(RealtimeError::Kind::Refused, refusal(priority, allowance)));
    return std::unexpected(error(RealtimeError::Kind::Failed, std::string("set_realtime: ") + std::strerror(err)));
  }
  if (!cpu) return {};
  if (int err = ::pthread_setaffinity_np(thread, sizeof cpus, &cpus); err != 0) {
    (void)::pthread_setschedparam(thread, old_policy, &old_param);
    return std::unexpected(error(RealtimeError::Kind::Failed,
                                 "set_realtime: pinning to cpu " + std::to_string(*cpu) + ": " + std::strerror(err)));
  }
  return {};
}

}  // namespace velmora::control_loop
