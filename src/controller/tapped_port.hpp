#pragma once
// A serial port that also shows its traffic to a bus tap, a packet at a time:
// what is written goes out whole; what is read is cut into the packets it
// holds by the Feetech header (FF FF id length ...).

#include <cstdint>
#include <vector>

#include "controller/bus_tap.hpp"
#include "servocom/port.hpp"

namespace velmora::controller {

class TappedPort final : public servocom::Port {
 public:
  TappedPort(servocom::Port& inner, BusTap& tap) : inner_(inner), tap_(tap) {}
  ~TappedPort() override { flush(); }

  servocom::Result<std::size_t> bytes_waiting() override { return inner_.bytes_waiting(); }
  servocom::Result<void> read_exact(std::span<std::uint8_t> buf) override;
  servocom::Result<void> write_all(std::span<const std::uint8_t> data) override;
  servocom::Result<void> drain() override { return inner_.drain(); }
  std::optional<std::string> lost() const override { return inner_.lost(); }

 private:
  // Hands every whole packet received so far to the tap.
  void cut();
  // And whatever is left of a reply that stopped short.
  void flush();

  servocom::Port& inner_;
  BusTap& tap_;
  std::vector<std::uint8_t> received_;
};

}  // namespace velmora::controller
