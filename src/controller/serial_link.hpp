#pragma once
// The servo bus's serial port, kept by its path. A device that goes away (a
// pulled USB adapter hangs its tty up for good) is closed and opened again
// once it is back: a udev name follows the adapter to its new node.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "controller/bus_tap.hpp"
#include "controller/controller_error.hpp"
#include "controller/outage_log.hpp"
#include "controller/tapped_port.hpp"
#include "servocom/port.hpp"

namespace velmora::controller {

class SerialLink {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // Opens the device again as it was opened first (same settings, exclusive).
  using Open = std::function<servocom::Result<std::unique_ptr<servocom::Port>>()>;

  // open empty: the port is never opened again.
  SerialLink(std::string path, std::unique_ptr<servocom::Port> port, Open open);

  // Attempts to open the device again at most this often; zero: whenever the
  // port is asked for.
  void set_reopen_interval(std::chrono::nanoseconds interval) { interval_ = interval; }
  // Every packet written and read goes to tap too (null: nowhere).
  void set_tap(BusTap* tap);
  const std::string& path() const { return path_; }
  bool connected() const { return port_ != nullptr; }
  // How often the device was opened again.
  std::uint64_t reconnections() const { return reconnections_; }

  // The port to use now, opened again first when it was lost and an attempt
  // is due; otherwise why there is none.
  Result<servocom::Port*> acquire(TimePoint now);
  // After an operation on the port: a port found lost is closed and its
  // outage begins; one that worked ends an outage. Failed readings count.
  void settle(bool ok, bool reading, TimePoint now);
  // The failure of an operation while the port is lost: its path and why.
  ControllerError disconnection() const;

 private:
  std::string path_;
  std::unique_ptr<servocom::Port> port_;
  BusTap* tap_ = nullptr;
  std::optional<TappedPort> tapped_;  // port_ as the tap sees it
  Open open_;
  std::chrono::nanoseconds interval_{0};
  std::optional<TimePoint> last_attempt_;
  std::string cause_;           // why the port was lost
  std::string reopen_failure_;  // why the last attempt to open it failed
  std::uint64_t reconnections_ = 0;
  OutageLog outage_;
};

}  // namespace velmora::controller
