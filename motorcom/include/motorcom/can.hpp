#pragma once
// CAN frames, identifiers, the transport interface and its error type.

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace motorcom {

struct CanId {
  enum class Kind : std::uint8_t { Standard, Extended };
  Kind kind = Kind::Standard;
  std::uint32_t value = 0;

  static constexpr CanId standard(std::uint32_t v) { return {Kind::Standard, v}; }
  static constexpr CanId extended(std::uint32_t v) { return {Kind::Extended, v}; }
  // Equal only when both the kind and the value are equal.
  friend constexpr bool operator==(const CanId&, const CanId&) = default;
};

struct CanFrame {
  std::vector<std::uint8_t> data;  // 0..8 bytes classic, 0..64 FD
  CanId id;
  bool fd = false;
  bool brs = false;
};

class CanError {
 public:
  enum class Kind : std::uint8_t { Backend, Timeout, FrameTooLarge, InvalidId };

  // err: the errno of the failed socket-layer call.
  static CanError backend(int err);
  static CanError timeout();
  static CanError frame_too_large(std::size_t length);
  static CanError invalid_id();

  Kind kind() const { return kind_; }
  int os_error() const { return os_error_; }
  std::size_t length() const { return length_; }
  // "backend error: {}", "timeout waiting for frame", ...
  std::string message() const;

 private:
  CanError(Kind k, int e, std::size_t n) : kind_(k), os_error_(e), length_(n) {}
  Kind kind_;
  int os_error_;
  std::size_t length_;
};

template <class T>
using CanResult = std::expected<T, CanError>;

class CanTransport {
 public:
  virtual ~CanTransport() = default;
  virtual CanResult<void> send(const CanFrame& frame) = 0;
  // The next frame, waiting at most timeout.
  virtual CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) = 0;
  // Sends frame, then returns the first received frame whose id equals
  // expected; other frames are discarded. Bounded by timeout overall.
  CanResult<CanFrame> request(const CanFrame& frame, CanId expected, std::chrono::nanoseconds timeout);
};

}  // namespace motorcom
