#include "pty_baud.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace servocom::testing {
unsigned stored_output_baud(int fd) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return tio.c_ospeed;
}
}  // namespace servocom::testing
