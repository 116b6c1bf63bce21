# Debian's cross compiler for the Raspberry Pi's arm64, with the target's
# libraries from multiarch (dpkg --add-architecture arm64; libcups2-dev:arm64).
# Test binaries run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_OBJCOPY aarch64-linux-gnu-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The target's libraries are multiarch (/lib/aarch64-linux-gnu): its loader and
# libc must come from there too (-L /), not from the cross compiler's sysroot,
# whose older loader hangs the first thread that libc starts.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(DRUVO_DEB_ARCH arm64)
