#pragma once
// Sets any baud rate through termios2 (BOTHER); kept apart because the kernel's
// termios2 header cannot share a translation unit with <termios.h>.

namespace servocom::detail {

// 0 on success, otherwise the errno of the failing ioctl.
int set_baud(int fd, unsigned baud);

}  // namespace servocom::detail
