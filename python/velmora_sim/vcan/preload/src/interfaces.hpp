#pragma once
// Virtual interfaces: a name exists while a hub socket for it exists in the
// hub directory ($VELMORA_VCAN_DIR, default /tmp/velmora-vcan). Each name
// seen gets a synthetic interface index, stable for the life of the process.

#include <sys/un.h>

namespace vcan {

// Far above the indices the kernel hands out.
inline constexpr unsigned kFirstIndex = 0x56430000U;
inline constexpr unsigned kMaxInterfaces = 64;

// The synthetic index of name when its hub socket exists, else 0 (errno kept).
unsigned hub_index(const char* name);
// The name of a synthetic index into out (IF_NAMESIZE bytes); false when
// index is not one of ours.
bool hub_name(unsigned index, char* out);
// The hub socket address of name; false when the path does not fit.
bool hub_address(const char* name, sockaddr_un& out);

void lock_interfaces();
void unlock_interfaces();

}  // namespace vcan
