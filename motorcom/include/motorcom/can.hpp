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
  // A remote frame (classic only): sent, it asks for data.size() bytes and
  // carries none; received, its data is empty.
  bool rtr = false;
  // A received error frame: the CAN controller's report of its own state
  // (bus-off, error-passive, restarted), with the error classes in the id's
  // value (an extended id) and the details in the data. No device sent it.
  bool error = false;
  // Received frames: when the frame reached the socket, as the kernel stamps
  // it, on the wall clock. Unset (the epoch): not known.
  std::chrono::system_clock::time_point received_at{};
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
// std::chrono::steady_clock.
using Clock = std::function<std::chrono::steady_clock::time_point()>;
// The wall clock, read when a request is sent, to compare with the kernel's
// receive timestamps, which are on that clock. Empty: std::chrono::system_clock.
using WallClock = std::function<std::chrono::system_clock::time_point()>;

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
//
// When a frame reached the socket is judged by its receive timestamp against
// the wall clock read as the request went out: both on the same clock, so a
// step of the wall clock only matters if it falls between a request and its
// reply. A frame without a timestamp (the kernel refused them) arrived at a
// time not known: the matcher alone decides, and it counts as in time.
class PendingReplies {
 public:
  using Matcher = std::function<bool(const CanFrame&)>;

  explicit PendingReplies(CanTransport& bus, Clock clock = {}, WallClock wall = {});

  // Sends a request and returns its number (0, 1, ... in the order sent). A
  // failed send is that request's outcome.
  std::size_t send(const CanFrame& frame, Matcher matches, std::chrono::nanoseconds timeout);
  // Request n's reply, waiting no longer than its deadline. A failure of the
  // transport itself is n's outcome and ends nothing else.
  CanResult<CanFrame> collect(std::size_t n);

 private:
  struct Request {
    Matcher matches;
    std::chrono::steady_clock::time_point deadline;
    // The same two moments on the wall clock, for receive timestamps.
    std::chrono::system_clock::time_point sent_wall;
    std::chrono::system_clock::time_point deadline_wall;
    std::optional<CanResult<CanFrame>> outcome;
  };
  // Hands a received frame to the first waiting request it answers.
  void deliver(CanFrame frame);

  CanTransport& bus_;
  Clock clock_;
  WallClock wall_;
  std::vector<Request> requests_;
};

}  // namespace motorcom
