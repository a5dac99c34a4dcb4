# Cross-compiling for 64-bit Arm Linux on an x86-64 Debian host, with Debian's
# cross compiler (g++-aarch64-linux-gnu) and the arm64 GMP and Nettle installed
# beside the host's (multiarch); scripts/ensure-cross-deps.sh installs them.
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Programs built this way run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Library searches go to */lib/aarch64-linux-gnu, never to the host's x86-64 folders.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
