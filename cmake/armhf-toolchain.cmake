# Cross-build for ARMv7 hard-float Linux (Debian's armhf) from a Debian host with
# g++-arm-linux-gnueabihf and qemu-user, against the sysroot tools/armhf-sysroot
# makes (the armhf -dev packages unpacked, independent of the host's own).
#   tools/armhf-sysroot
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
# Another sysroot: -DBRIDGE_ARMHF_SYSROOT=DIR. Tests run under qemu-arm
# (user-mode emulation), which finds the loader and libraries in the sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT BRIDGE_ARMHF_SYSROOT)
  get_filename_component(BRIDGE_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-sysroot-armhf" ABSOLUTE)
endif()
if(NOT EXISTS "${BRIDGE_ARMHF_SYSROOT}/usr/include/mosquitto.h")
  message(FATAL_ERROR "no armhf sysroot in ${BRIDGE_ARMHF_SYSROOT}: run tools/armhf-sysroot")
endif()
# try_compile projects see the same sysroot.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BRIDGE_ARMHF_SYSROOT)
set(CMAKE_SYSROOT "${BRIDGE_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${BRIDGE_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${BRIDGE_ARMHF_SYSROOT}")

# Target libraries and their .pc files, inside the sysroot.
set(ENV{PKG_CONFIG_LIBDIR} "${BRIDGE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${BRIDGE_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BRIDGE_ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

set(BRIDGE_DEB_ARCHITECTURE armhf)
