#pragma once
// CAN frames, identifiers, the transport interface and its error type.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
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
  // Received frames: when the frame reached the socket, on the monotonic
  // clock. Unset (the epoch) means "when recv returned it".
  std::chrono::steady_clock::time_point received_at{};
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

// The monotonic clock a wait for replies measures its time-outs on. Empty:
// std::chrono::steady_clock, which is also the clock of the kernel's receive
// timestamps.
using Clock = std::function<std::chrono::steady_clock::time_point()>;

class CanTransport {
 public:
  virtual ~CanTransport() = default;
  virtual CanResult<void> send(const CanFrame& frame) = 0;
  // The next frame, waiting at most timeout.
  virtual CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) = 0;
  // Sends frame, then returns the first frame whose id equals expected that
  // arrives after the send; other frames are discarded. Bounded by timeout.
  CanResult<CanFrame> request(const CanFrame& frame, CanId expected, std::chrono::nanoseconds timeout,
                              const Clock& clock = {});
};

// Requests in flight together on one transport. Each is answered by the first
// frame its matcher accepts that reached the socket after the request was sent
// and no later than its time-out, in whatever order the replies come: a reply
// to one request that turns up while another is awaited is kept for its own.
// A reply that arrived in time still counts when it is collected late.
class PendingReplies {
 public:
  using Matcher = std::function<bool(const CanFrame&)>;

  explicit PendingReplies(CanTransport& bus, Clock clock = {});

  // Sends a request and returns its number (0, 1, ... in the order sent). A
  // failed send is that request's outcome.
  std::size_t send(const CanFrame& frame, Matcher matches, std::chrono::nanoseconds timeout);
  // Request n's reply, waiting no longer than its deadline. A failure of the
  // transport itself is n's outcome and ends nothing else.
  CanResult<CanFrame> collect(std::size_t n);

 private:
  struct Request {
    Matcher matches;
    std::chrono::steady_clock::time_point sent;
    std::chrono::steady_clock::time_point deadline;
    std::optional<CanResult<CanFrame>> outcome;
  };
  // Hands a received frame to the first waiting request it answers; returns
  // when the frame arrived.
  std::chrono::steady_clock::time_point deliver(CanFrame frame);

  CanTransport& bus_;
  Clock clock_;
  std::vector<Request> requests_;
};

}  // namespace motorcom
