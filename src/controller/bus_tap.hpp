#pragma once
// What sees every packet and frame on the two buses (a recording of the bus
// traffic), called on the thread that uses the controller.

#include <cstdint>
#include <span>

#include "motorcom/can.hpp"

namespace velmora::controller {

class BusTap {
 public:
  virtual ~BusTap() = default;
  // One whole packet: an instruction sent, or a reply received.
  virtual void serial(bool sent, std::span<const std::uint8_t> packet) = 0;
  virtual void can(bool sent, const motorcom::CanFrame& frame) = 0;
};

}  // namespace velmora::controller
