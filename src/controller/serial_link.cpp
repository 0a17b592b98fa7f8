#include "controller/serial_link.hpp"

#include "common/log.hpp"

namespace velmora::controller {

SerialLink::SerialLink(std::string path, std::unique_ptr<servocom::Port> port, Open open)
    : path_(std::move(path)),
      port_(std::move(port)),
      open_(std::move(open)),
      outage_(log::kControllerTarget, "serial port " + path_) {}

void SerialLink::set_tap(BusTap* tap) {
  tap_ = tap;
  tapped_.reset();
  if (port_ && tap_ != nullptr) tapped_.emplace(*port_, *tap_);
}

Result<servocom::Port*> SerialLink::acquire(TimePoint now) {
  if (port_) return tapped_ ? static_cast<servocom::Port*>(&*tapped_) : port_.get();
  const bool due = !last_attempt_ || interval_ <= std::chrono::nanoseconds::zero() || now - *last_attempt_ >= interval_;
  if (!open_ || !due) return std::unexpected(disconnection());
  last_attempt_ = now;
  auto opened = open_();
  if (!opened) {
    reopen_failure_ = opened.error().message();
    return std::unexpected(disconnection());
  }
  port_ = std::move(*opened);
  ++reconnections_;
  set_tap(tap_);
  return tapped_ ? static_cast<servocom::Port*>(&*tapped_) : port_.get();
}

void SerialLink::settle(bool ok, bool reading, TimePoint now) {
  if (port_) {
    if (const auto why = port_->lost()) {
      cause_ = *why;
      reopen_failure_.clear();
      // Closing it now frees the device node's descriptor for the adapter's return.
      tapped_.reset();
      port_.reset();
      last_attempt_ = now;
      outage_.begin(now, "disconnected (" + cause_ + "); opening it again once it is back");
    }
  }
  if (port_ && ok) {
    outage_.end(now);
    return;
  }
  if (!ok && reading) outage_.failed_reading();
}

ControllerError SerialLink::disconnection() const {
  return ControllerError::gone(ControllerError::Bus::Servos, "serial port " + path_, cause_,
                               reopen_failure_.empty() ? "not opened again yet" : reopen_failure_);
}

}  // namespace velmora::controller
