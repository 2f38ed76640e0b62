# 32-bit big-endian MIPS: Debian's cross compiler; json-c and GoogleTest are
# built from Debian's sources into AIRCOORD_DEPS_PREFIX (no multiarch
# packages exist for this CPU), run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

# try_compile projects see only the variables named here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AIRCOORD_DEPS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/mips-linux-gnu ${AIRCOORD_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L /usr/mips-linux-gnu)

if(AIRCOORD_DEPS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${AIRCOORD_DEPS_PREFIX}/lib/pkgconfig)
endif()
