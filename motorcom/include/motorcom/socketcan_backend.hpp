#pragma once
// CanTransport over a Linux SocketCAN raw socket with CAN FD frames enabled.

#include <memory>
#include <string_view>

#include "motorcom/can.hpp"

namespace motorcom {

class SocketCanTransport final : public CanTransport {
 public:
  // Every failure is CanError::Kind::Backend. `clock` is what receive
  // deadlines are measured on (empty: std::chrono::steady_clock).
  static CanResult<std::unique_ptr<SocketCanTransport>> open(std::string_view interface_name, Clock clock = {});
  ~SocketCanTransport() override;
  SocketCanTransport(const SocketCanTransport&) = delete;
  SocketCanTransport& operator=(const SocketCanTransport&) = delete;

  CanResult<void> send(const CanFrame& frame) override;
  CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) override;

 private:
  SocketCanTransport(int fd, Clock clock);
  int fd_;
  Clock clock_;
};

}  // namespace motorcom
