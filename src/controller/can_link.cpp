#include "controller/can_link.hpp"

#include <linux/can.h>
#include <linux/can/error.h>

#include <cerrno>

#include "common/log.hpp"

namespace velmora::controller {
namespace {

using motorcom::CanError;

constexpr std::chrono::microseconds kQueueFullPause{200};

// Errors after which this socket never carries a frame again: the interface
// was removed (ENODEV, then ENXIO), taken down (ENETDOWN: binding anew once it
// is up is as good as waiting), or its user-space stand-in went away.
bool interface_gone(const CanError& e) {
  if (e.kind() != CanError::Kind::Backend) return false;
  switch (e.os_error()) {
    case ENODEV:
    case ENXIO:
    case ENETDOWN:
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case EBADF:
      return true;
    default:
      return false;
  }
}

bool queue_full(const CanError& e) { return e.kind() == CanError::Kind::Backend && e.os_error() == ENOBUFS; }

}  // namespace

CanLink::CanLink(std::string name, std::unique_ptr<motorcom::CanTransport> socket, Open open, motorcom::Clock clock,
                 Sleep sleep, std::chrono::nanoseconds queue_full_wait)
    : name_(std::move(name)),
      socket_(std::move(socket)),
      open_(std::move(open)),
      clock_(std::move(clock)),
      sleep_(std::move(sleep)),
      queue_full_wait_(queue_full_wait),
      outage_(log::kControllerTarget, "CAN interface " + name_) {}

bool CanLink::reconnect_if_due() {
  if (socket_ || !open_) return false;
  const auto now = clock_();
  if (last_attempt_ && interval_ > std::chrono::nanoseconds::zero() && now - *last_attempt_ < interval_) return false;
  last_attempt_ = now;
  auto opened = open_();
  if (!opened) {
    reopen_failure_ = "failed to open CAN bus '" + name_ + "': " + opened.error().message();
    return false;
  }
  socket_ = std::move(*opened);
  state_ = State::Active;
  return true;
}

ControllerError CanLink::disconnection() const {
  return ControllerError::gone(ControllerError::Bus::Neck, "CAN interface " + name_, cause_,
                               reopen_failure_.empty() ? "not bound again yet" : reopen_failure_);
}

void CanLink::lose(const CanError& e) {
  cause_ = e.message();
  reopen_failure_.clear();
  socket_.reset();
  last_attempt_ = clock_();
  outage_.begin(*last_attempt_, "disconnected (" + cause_ + "); binding to it again once it is back");
}

motorcom::CanResult<void> CanLink::send(const motorcom::CanFrame& frame) {
  if (!socket_) return std::unexpected(CanError::backend(ENODEV));
  const auto give_up = clock_() + queue_full_wait_;
  for (;;) {
    auto sent = socket_->send(frame);
    if (sent) {
      if (tap_ != nullptr) tap_->can(true, frame);
      return sent;
    }
    // A full transmit queue (common with USB adapters) empties as the bus
    // takes frames: wait for room a little, not for ever.
    if (queue_full(sent.error()) && clock_() < give_up) {
      sleep_(kQueueFullPause);
      continue;
    }
    if (interface_gone(sent.error())) lose(sent.error());
    return sent;
  }
}

motorcom::CanResult<motorcom::CanFrame> CanLink::recv(std::chrono::nanoseconds timeout) {
  if (!socket_) return std::unexpected(CanError::backend(ENODEV));
  auto frame = socket_->recv(timeout);
  if (!frame) {
    if (interface_gone(frame.error())) lose(frame.error());
    return frame;
  }
  if (tap_ != nullptr) tap_->can(false, *frame);
  if (frame->error) {
    report(*frame);
  } else {
    outage_.end(clock_());
  }
  return frame;
}

void CanLink::report(const motorcom::CanFrame& f) {
  const auto classes = f.id.value;
  const auto subject = "CAN interface " + name_;
  if ((classes & CAN_ERR_BUSOFF) != 0) {
    if (state_ == State::BusOff) return;
    state_ = State::BusOff;
    log::write(log::Level::Error, log::kControllerTarget,
               subject + ": its controller is bus-off and stays off until the interface is restarted, which "
                         "needs privileges: sudo ip link set " + name_ + " down && sudo ip link set " + name_ +
                   " up type can bitrate 1000000 (or give it restart-ms)");
  } else if ((classes & CAN_ERR_RESTARTED) != 0) {
    state_ = State::Active;
    log::write(log::Level::Info, log::kControllerTarget, subject + ": its controller restarted after bus-off");
  } else if ((classes & CAN_ERR_CRTL) != 0 && f.data.size() > 1 &&
             (f.data[1] & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) != 0) {
    if (state_ != State::Active) return;
    state_ = State::Passive;
    log::write(log::Level::Warn, log::kControllerTarget,
               subject + ": its controller is error-passive (frames keep failing on the bus: check the wiring, "
                         "the termination and the bitrate)");
  }
}

}  // namespace velmora::controller
