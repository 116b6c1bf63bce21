# Debian's cross compiler for the Raspberry Pi's armhf, with the target's
# libraries from multiarch (dpkg --add-architecture armhf; libcups2-dev:armhf).
# Test binaries run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_OBJCOPY arm-linux-gnueabihf-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP arm-linux-gnueabihf-strip CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The target's libraries are multiarch (/lib/arm-linux-gnueabihf): its loader
# and libc must come from there too (-L /), not from the cross compiler's
# sysroot, whose older loader crashes the first thread that libc starts.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(DRUVO_DEB_ARCH armhf)
