# Cross-compiles for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu); the test programs run under user-mode emulation,
# VELMORA_QEMU_AARCH64 (tools/arm64_check.sh passes Debian 13's), with the
# target's libraries from its sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(VELMORA_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
set(VELMORA_QEMU_AARCH64 qemu-aarch64-static CACHE FILEPATH "The user-mode emulator the tests run under")
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_QEMU_AARCH64} -L ${VELMORA_AARCH64_SYSROOT})
# Target libraries and headers come from the sysroot and from the prefixes
# given on the command line (a cross-built GoogleTest); programs from the host.
set(CMAKE_FIND_ROOT_PATH ${VELMORA_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
