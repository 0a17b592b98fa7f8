#include "servocom/error.hpp"

#include <string>
#include <utility>

namespace servocom {

Error Error::checksum() { return Error(Kind::ChecksumError, "Checksum error"); }
Error Error::parsing() { return Error(Kind::ParsingError, "Parsing error"); }
Error Error::timeout(std::string cause) {
  Error e(Kind::TimeoutError, "Timeout error");
  e.cause_ = std::move(cause);
  return e;
}

Error Error::io(IoKind kind, std::string text) { return Error(Kind::Io, std::move(text), kind); }
Error Error::port(std::string text) { return Error(Kind::Port, std::move(text)); }
Error Error::invalid_request(std::string text) { return Error(Kind::InvalidRequest, std::move(text)); }
Error Error::bad_reply(std::string text) { return Error(Kind::BadReply, std::move(text)); }

Error Error::at(std::string_view where) && {
  cause_ = cause_.empty() ? std::string(where) : std::string(where) + ": " + cause_;
  return std::move(*this);
}

namespace {
const char* io_kind_name(IoKind kind) {
  switch (kind) {
    case IoKind::TimedOut: return "TimedOut";
    case IoKind::Interrupted: return "Interrupted";
    case IoKind::Other: break;
  }
  return "Other";
}
}  // namespace

std::string Error::debug() const {
  switch (kind_) {
    case Kind::ChecksumError: return "ChecksumError";
    case Kind::ParsingError: return "ParsingError";
    case Kind::TimeoutError: return "TimeoutError";
    case Kind::Io: return std::string("Io(") + io_kind_name(io_kind_) + ", \"" + text_ + "\")";
    case Kind::Port: return "Port(\"" + text_ + "\")";
    case Kind::InvalidRequest: return "InvalidRequest(\"" + text_ + "\")";
    case Kind::BadReply: return "BadReply(\"" + text_ + "\")";
  }
  return text_;
}

}  // namespace servocom
