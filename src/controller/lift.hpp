#pragma once
// The one way a lower layer's failure becomes a controller failure: its
// display text, behind the operation's context when one is given
// ("read_neck_positions(neck_yaw): "), its cause, its bus, and whether the
// loop may retry it.

#include <expected>
#include <string_view>
#include <type_traits>
#include <utility>

#include "controller/controller_error.hpp"
#include "motorcom/can.hpp"
#include "motorcom/damiao/error.hpp"
#include "servocom/error.hpp"

namespace velmora::controller {

inline ControllerError lifted(const servocom::Error& e) {
  ControllerError c{e.message(), e.is_retryable()};
  c.bus = ControllerError::Bus::Servos;
  c.cause = e.cause();
  return c;
}

// The driver's text already holds the transport's (and its OS error's).
inline ControllerError lifted(const motorcom::damiao::Error& e) {
  ControllerError c{e.message()};
  c.bus = ControllerError::Bus::Neck;
  return c;
}

inline ControllerError lifted(const motorcom::CanError& e) {
  ControllerError c{e.message()};
  c.bus = ControllerError::Bus::Neck;
  return c;
}

inline ControllerError lifted(ControllerError e) { return e; }

template <class E>
ControllerError lifted(E&& e, std::string_view context) {
  ControllerError c = lifted(std::forward<E>(e));
  c.message.insert(0, context);
  return c;
}

// A lower layer's result as the controller's: the value passes, the error is lifted.
template <class T, class E>
Result<T> lift(std::expected<T, E>&& r, std::string_view context = {}) {
  if (!r) return std::unexpected(lifted(std::move(r.error()), context));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*r);
  }
}

}  // namespace velmora::controller
