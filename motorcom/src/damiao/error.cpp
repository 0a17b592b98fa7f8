#include "motorcom/damiao/error.hpp"

#include <string>


namespace motorcom::damiao {
namespace {

std::string num(unsigned v) { return std::to_string(v); }

}  // namespace

Error Error::transport(CanError e) {
  Error out(Kind::Transport);
  out.can_.push_back(e);
  return out;
}

Error Error::unknown_register(std::uint8_t id) {
  Error out(Kind::UnknownRegister);
  out.reg_ = id;
  return out;
}

Error Error::read_only(std::uint8_t id) {
  Error out(Kind::ReadOnly);
  out.reg_ = id;
  return out;
}

Error Error::type_mismatch(RegisterKind expected, RegisterKind given, std::uint8_t id) {
  Error out(Kind::TypeMismatch);
  out.expected_ = expected;
  out.given_ = given;
  out.reg_ = id;
  return out;
}

Error Error::mode_verification(std::uint8_t wrote, std::uint8_t reports) {
  Error out(Kind::ModeVerification);
  out.wrote_ = wrote;
  out.reports_ = reports;
  return out;
}

Error Error::short_feedback(std::size_t length) {
  Error out(Kind::ShortFeedback);
  out.length_ = length;
  return out;
}

const CanError* Error::can_error() const { return can_.empty() ? nullptr : &can_.front(); }

std::string Error::message() const {
  switch (kind_) {
    case Kind::Transport:
      return "transport error: " + (can_.empty() ? std::string("unknown") : can_.front().message());
    case Kind::UnknownRegister:
      return "register " + num(reg_) + " is not in the Damiao register table";
    case Kind::ReadOnly:
      return "register " + num(reg_) + " is read-only";
    case Kind::TypeMismatch:
      return "register " + num(reg_) + ": expected " + std::string(kind_name(expected_)) + ", got " +
             std::string(kind_name(given_));
    case Kind::ModeVerification:
      return "control mode verification failed: wrote " + num(wrote_) + ", motor reports " + num(reports_);
    case Kind::ShortFeedback:
      return "feedback payload too short: " + std::to_string(length_) + " bytes";
  }
  return "invalid Damiao error";
}

}  // namespace motorcom::damiao
