#include "kernel_frame.hpp"

#include <linux/can.h>

#include <algorithm>
#include <cstring>

namespace motorcom::detail {
namespace {

static_assert(sizeof(can_frame) == kClassicFrameSize);
static_assert(sizeof(canfd_frame) == kFdFrameSize);

constexpr std::uint32_t kStandardMax = 0x7FF;
constexpr std::uint32_t kExtendedMax = 0x1FFFFFFF;

// The smallest CAN FD length that holds n bytes (n <= 64).
std::uint8_t fd_length(std::size_t n) {
  constexpr std::array<std::uint8_t, 7> kLong{12, 16, 20, 24, 32, 48, 64};
  if (n <= 8) return static_cast<std::uint8_t>(n);
  return *std::find_if(kLong.begin(), kLong.end(), [n](std::uint8_t len) { return len >= n; });
}

CanId id_from_word(std::uint32_t word) {
  if (word & CAN_EFF_FLAG) return CanId::extended(word & CAN_EFF_MASK);
  return CanId::standard(word & CAN_SFF_MASK);
}

}  // namespace

CanResult<KernelFrame> to_kernel_frame(const CanFrame& frame) {
  const bool extended = frame.id.kind == CanId::Kind::Extended;
  if (frame.id.value > (extended ? kExtendedMax : kStandardMax)) return std::unexpected(CanError::invalid_id());
  const std::uint32_t word = frame.id.value | (extended ? CAN_EFF_FLAG : 0U);
  const std::size_t n = frame.data.size();
  KernelFrame out;
  if (frame.fd) {
    if (n > CANFD_MAX_DLEN) return std::unexpected(CanError::frame_too_large(n));
    canfd_frame k{};
    k.can_id = word;
    k.len = fd_length(n);
    k.flags = static_cast<std::uint8_t>(CANFD_FDF | (frame.brs ? CANFD_BRS : 0));
    std::copy_n(frame.data.begin(), n, k.data);
    std::memcpy(out.bytes.data(), &k, sizeof k);
    out.size = sizeof k;
  } else {
    if (n > CAN_MAX_DLEN) return std::unexpected(CanError::frame_too_large(n));
    can_frame k{};
    // A remote frame asks for n bytes and carries none.
    k.can_id = word | (frame.rtr ? CAN_RTR_FLAG : 0U);
    k.len = static_cast<std::uint8_t>(n);
    if (!frame.rtr) std::copy_n(frame.data.begin(), n, k.data);
    std::memcpy(out.bytes.data(), &k, sizeof k);
    out.size = sizeof k;
  }
  return out;
}

std::optional<CanFrame> from_kernel_frame(std::span<const std::uint8_t> raw) {
  CanFrame out;
  if (raw.size() == sizeof(can_frame)) {
    can_frame k;
    std::memcpy(&k, raw.data(), sizeof k);
    out.error = (k.can_id & CAN_ERR_FLAG) != 0;
    out.id = out.error ? CanId::extended(k.can_id & CAN_ERR_MASK) : id_from_word(k.can_id);
    // Error frames always carry their 8 bytes of error detail; a remote
    // frame's length is what it asks for, and it carries nothing.
    const std::size_t n = out.error ? CAN_MAX_DLEN : std::min<std::size_t>(k.len, CAN_MAX_DLEN);
    out.rtr = (k.can_id & CAN_RTR_FLAG) != 0 && !out.error;
    if (!out.rtr) out.data.assign(k.data, k.data + n);
    return out;
  }
  if (raw.size() == sizeof(canfd_frame)) {
    canfd_frame k;
    std::memcpy(&k, raw.data(), sizeof k);
    out.id = id_from_word(k.can_id);
    const std::size_t n = std::min<std::size_t>(k.len, CANFD_MAX_DLEN);
    out.data.assign(k.data, k.data + n);
    out.fd = true;
    out.brs = (k.flags & CANFD_BRS) != 0;
    return out;
  }
  return std::nullopt;
}

}  // namespace motorcom::detail
