#pragma once
// The serial servo library's one error type: Feetech protocol errors, serial
// port errors and I/O errors, each with its display text.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace servocom {

// What an I/O failure was, as far as callers need to know: the control loop
// retries exactly TimedOut and Interrupted.
enum class IoKind : std::uint8_t { TimedOut, Interrupted, Other };

class Error {
 public:
  enum class Kind : std::uint8_t {
    // The Feetech protocol's own kinds: a damaged or unreadable reply, or none.
    ChecksumError,
    ParsingError,
    TimeoutError,
    // An I/O error of the port (read, write, poll).
    Io,
    // The serial port could not be opened or configured.
    Port,
    // A request that cannot be put on the wire (too many parameter bytes).
    InvalidRequest,
    // A well-formed reply whose contents do not fit the request (wrong size).
    BadReply,
  };

  static Error checksum();
  static Error parsing();
  // cause: what lay beneath, when the time-out stands for something else
  // (the I/O error of a failed write).
  static Error timeout(std::string cause = {});
  static Error io(IoKind kind, std::string text);
  static Error port(std::string text);
  static Error invalid_request(std::string text);
  static Error bad_reply(std::string text);

  Kind kind() const { return kind_; }
  // Meaningful only for Kind::Io.
  IoKind io_kind() const { return io_kind_; }
  // The display text, e.g. "Checksum error" or the I/O error's own text.
  const std::string& message() const { return text_; }
  // What the display text leaves out, for logs: the I/O error behind a write
  // reported as a time-out, the servo whose reply failed. Empty: nothing.
  const std::string& cause() const { return cause_; }
  // The same error, said to have happened at `where` ("reply of servo 3"):
  // the cause becomes "{where}: {cause}".
  Error at(std::string_view where) &&;
  // The debug text of the protocol kinds, e.g. "ChecksumError".
  std::string debug() const;
  // True for an I/O error that timed out or was interrupted: the only errors
  // worth a retry.
  bool is_retryable() const {
    return kind_ == Kind::Io && (io_kind_ == IoKind::TimedOut || io_kind_ == IoKind::Interrupted);
  }

 private:
  Error(Kind kind, std::string text, IoKind io = IoKind::Other) : kind_(kind), io_kind_(io), text_(std::move(text)) {}
  Kind kind_;
  IoKind io_kind_;
  std::string text_;
  std::string cause_;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace servocom
