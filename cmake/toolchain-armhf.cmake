# 32-bit ARM (hard float), little-endian: Debian's cross compiler with the
# libraries of the armhf multiarch packages, run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# Silences notes that the passing of some arguments changed in GCC 7.1:
# nothing here links against code built by an older compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The multiarch root is the host's own /: qemu must load the armhf libraries
# from there, since the toolchain's private libc copy under
# /usr/arm-linux-gnueabihf crashes every program that starts a thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
