#include "control_loop/motor_error.hpp"

#include "common/numfmt.hpp"
#include "common/text.hpp"

namespace velmora::control_loop {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

std::string MotorError::message() const {
  return std::visit(
      Overloaded{
          [](const MissingMotors& e) { return "Missing motors: " + text::bracketed(e.names, text::quoted) + "!"; },
          [](const CommunicationError&) {
            return std::string("Motor communication error! Check connections and power supply.");
          },
          [](const NoMotorsDetected&) {
            return std::string("No motors detected. Check if the power supply is connected and turned on!");
          },
          [](const VoltageRampupTimeout& e) {
            return "Voltage did not ramp up to 12V (got " + numfmt::fixed(e.lowest_decivolts / 10.0, 1) +
                   "V) within " + numfmt::duration(e.timeout) + "!";
          },
          [](const PortNotFound& e) {
            return "Check if your USB cable is connected. Could not find port: " + e.path + "!";
          },
          [](const PortOpenFailed& e) {
            return "Could not open serial port: " + e.path +
                   "! Check permissions and if the port is already in use.";
          },
          [](const Interrupted&) { return std::string("interrupted"); },
      },
      value_);
}

}  // namespace velmora::control_loop
