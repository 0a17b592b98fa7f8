#pragma once
// The control loop's error: what construction and position reads can fail
// with. Every variant has a fixed display text, which is also the text of the
// Python exception raised for it.

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace velmora::control_loop {

class MotorError {
 public:
  struct MissingMotors {
    std::vector<std::string> names;
  };
  struct CommunicationError {};
  struct NoMotorsDetected {};
  struct VoltageRampupTimeout {
    std::uint8_t lowest_decivolts = 0;
    std::chrono::nanoseconds timeout{};
  };
  struct PortNotFound {
    std::string path;
  };
  struct PortOpenFailed {
    std::string path;
  };
  // Start-up stopped because its caller asked it to (Ctrl-C).
  struct Interrupted {};
  using Variant = std::variant<MissingMotors, CommunicationError, NoMotorsDetected, VoltageRampupTimeout, PortNotFound,
                               PortOpenFailed, Interrupted>;

  MotorError(Variant v) : value_(std::move(v)) {}  // NOLINT: implicit from any variant
  template <class T>
  explicit MotorError(std::in_place_type_t<T> kind) : value_(kind) {}

  // Built in place: through a variant's move, GCC 12 under AddressSanitizer
  // takes the moved storage for uninitialised (-Wmaybe-uninitialized).
  static MotorError communication() { return MotorError(std::in_place_type<CommunicationError>); }

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value_);
  }
  std::string message() const;

 private:
  Variant value_;
};

}  // namespace velmora::control_loop
