#pragma once
// Conversion between CanFrame and the kernel's frame structures (16-byte
// classic, 72-byte CAN FD). Pure functions, kept apart from the socket.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "motorcom/can.hpp"

namespace motorcom::detail {

inline constexpr std::size_t kClassicFrameSize = 16;
inline constexpr std::size_t kFdFrameSize = 72;

struct KernelFrame {
  std::array<std::uint8_t, kFdFrameSize> bytes{};
  std::size_t size = 0;  // kClassicFrameSize or kFdFrameSize
};

// InvalidId or FrameTooLarge when the frame cannot be put on the wire.
CanResult<KernelFrame> to_kernel_frame(const CanFrame& frame);
// Empty unless raw is exactly one classic or one FD structure.
std::optional<CanFrame> from_kernel_frame(std::span<const std::uint8_t> raw);

}  // namespace motorcom::detail
