#pragma once
// The output speed stored in a terminal's settings (termios2), read apart
// from <termios.h>, whose struct clashes with the kernel's.

namespace servocom::testing {
// 0 when the settings cannot be read.
unsigned stored_output_baud(int fd);
}  // namespace servocom::testing
