#pragma once
// The Damiao driver's error type.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "motorcom/can.hpp"
#include "motorcom/damiao/registers.hpp"

namespace motorcom::damiao {

class Error {
 public:
  enum class Kind : std::uint8_t {
    Transport,
    UnknownRegister,
    ReadOnly,
    TypeMismatch,
    ModeVerification,
    ShortFeedback,  // a feedback payload under 8 bytes
  };

  static Error transport(CanError e);
  static Error unknown_register(std::uint8_t id);
  static Error read_only(std::uint8_t id);
  static Error type_mismatch(RegisterKind expected, RegisterKind given, std::uint8_t id);
  static Error mode_verification(std::uint8_t wrote, std::uint8_t reports);
  static Error short_feedback(std::size_t length);

  Kind kind() const { return kind_; }
  // Present for Kind::Transport.
  const CanError* can_error() const;
  // The display text, e.g. "transport error: timeout waiting for frame".
  std::string message() const;

 private:
  Error(Kind k) : kind_(k) {}
  Kind kind_;
  std::vector<CanError> can_;  // zero or one
  std::uint8_t reg_ = 0;
  RegisterKind expected_ = RegisterKind::Float;
  RegisterKind given_ = RegisterKind::Float;
  std::uint8_t wrote_ = 0;
  std::uint8_t reports_ = 0;
  std::size_t length_ = 0;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace motorcom::damiao
