#include <string>
#include <system_error>

#include "motorcom/can.hpp"

namespace motorcom {

CanError CanError::backend(int err) { return {Kind::Backend, err, 0}; }
CanError CanError::timeout() { return {Kind::Timeout, 0, 0}; }
CanError CanError::frame_too_large(std::size_t length) { return {Kind::FrameTooLarge, 0, length}; }
CanError CanError::invalid_id() { return {Kind::InvalidId, 0, 0}; }

std::string CanError::message() const {
  switch (kind_) {
    case Kind::Backend:
      // The operating system's own text, without the number: "No such device".
      return "backend error: " + std::system_category().message(os_error_);
    case Kind::Timeout:
      return "timeout waiting for frame";
    case Kind::FrameTooLarge:
      return "frame too large for selected mode: " + std::to_string(length_) + " bytes";
    case Kind::InvalidId:
      return "invalid CAN id";
  }
  return "invalid CAN error";
}

}  // namespace motorcom
