#pragma once
// The Linux serial port of the servo bus: termios raw mode, 8N1, no flow
// control, exclusive access (TIOCEXCL plus a non-blocking exclusive flock).

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "servocom/port.hpp"

namespace servocom {

class SerialPort final : public Port {
 public:
  static constexpr unsigned kDefaultBaud = 1'000'000;
  static constexpr std::chrono::milliseconds kDefaultTimeout{10};
  // What drain() measures its bound on, and how it waits for the output
  // queue to empty. Empty: std::chrono::steady_clock, the thread's own sleep.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Sleep = std::function<void(std::chrono::microseconds)>;

  // Opens and configures the device. Errors are Kind::Port with a text that
  // names the path and the reason.
  static Result<std::unique_ptr<SerialPort>> open(const std::string& path, unsigned baud = kDefaultBaud,
                                                  std::chrono::milliseconds timeout = kDefaultTimeout,
                                                  Clock clock = {}, Sleep sleep = {});
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  Result<std::size_t> bytes_waiting() override;
  Result<void> read_exact(std::span<std::uint8_t> buf) override;
  Result<void> write_all(std::span<const std::uint8_t> data) override;
  Result<void> drain() override;
  std::optional<std::string> lost() const override { return lost_; }

  const std::string& path() const { return path_; }
  // Why the driver did not grant low-latency mode (best effort, asked for at
  // open); empty when it did.
  const std::string& low_latency_refused() const { return low_latency_refused_; }

 private:
  SerialPort(int fd, std::string path, unsigned baud, std::chrono::milliseconds timeout, Clock clock, Sleep sleep);
  int fd_;
  std::string path_;
  unsigned baud_;
  std::chrono::milliseconds timeout_;
  Clock clock_;
  Sleep sleep_;
  std::string low_latency_refused_;
  std::optional<std::string> lost_;

  // The error of a failed call, noting when it means the device went away.
  Error failure(const char* what, int err);
};

}  // namespace servocom
