# Cross-builds for arm64 with Debian's multiarch packages: the cross
# compiler (g++-aarch64-linux-gnu) and the arm64 development packages
# (libasound2-dev:arm64, libgtest-dev:arm64). ctest runs the results under
# qemu user emulation, which loads the arm64 libraries from the same
# multiarch folders.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and CMake packages from /usr/lib/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# One program, no arguments: the end-to-end tests put it before zelk.
find_program(ZELK_QEMU NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELK_QEMU})
