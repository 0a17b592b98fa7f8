#pragma once
// The neck's CAN interface, kept by its name. An interface that goes away (a
// pulled USB CAN adapter removes it; one taken down refuses every frame) loses
// its socket, and a new one is bound to the name once it is back, where the
// interface may have a new index. Frames of a full transmit queue are tried
// again for a little while. The controller's error frames are reported:
// bus-off needs a restart this program is not allowed to do.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "controller/bus_tap.hpp"
#include "controller/controller_error.hpp"
#include "controller/outage_log.hpp"
#include "motorcom/can.hpp"

namespace velmora::controller {

class CanLink final : public motorcom::CanTransport {
 public:
  using Open = std::function<motorcom::CanResult<std::unique_ptr<motorcom::CanTransport>>()>;
  using Sleep = std::function<void(std::chrono::microseconds)>;

  // open empty: the interface is never bound again. queue_full_wait: how
  // long a frame waits for room in a full transmit queue (a command's own
  // reply time-out).
  CanLink(std::string name, std::unique_ptr<motorcom::CanTransport> socket, Open open, motorcom::Clock clock,
          Sleep sleep, std::chrono::nanoseconds queue_full_wait);

  void set_reopen_interval(std::chrono::nanoseconds interval) { interval_ = interval; }
  // Every frame sent and received goes to tap too (null: nowhere).
  void set_tap(BusTap* tap) { tap_ = tap; }
  const std::string& name() const { return name_; }
  bool connected() const { return socket_ != nullptr; }
  // Before an operation: binds a new socket when the interface was lost and
  // an attempt is due. True when it did: the motors may have been through
  // anything meanwhile.
  bool reconnect_if_due();
  // Counts a failed reading of an outage.
  void failed_reading() { outage_.failed_reading(); }
  // The failure of an operation while the interface is lost: its name and why.
  ControllerError disconnection() const;

  motorcom::CanResult<void> send(const motorcom::CanFrame& frame) override;
  motorcom::CanResult<motorcom::CanFrame> recv(std::chrono::nanoseconds timeout) override;

 private:
  enum class State : std::uint8_t { Active, Passive, BusOff };

  void lose(const motorcom::CanError& e);
  void report(const motorcom::CanFrame& error_frame);

  std::string name_;
  std::unique_ptr<motorcom::CanTransport> socket_;
  Open open_;
  motorcom::Clock clock_;
  Sleep sleep_;
  std::chrono::nanoseconds queue_full_wait_;
  std::chrono::nanoseconds interval_{0};
  std::optional<std::chrono::steady_clock::time_point> last_attempt_;
  std::string cause_;
  std::string reopen_failure_;
  State state_ = State::Active;
  BusTap* tap_ = nullptr;
  OutageLog outage_;
};

}  // namespace velmora::controller
