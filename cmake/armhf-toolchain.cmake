# Cross build for the box: 32-bit ARMv7-A, hard-float (Debian armhf), with
# Debian's cross toolchain (crossbuild-essential-armhf).
#
# Two ways to find the box's libraries:
# - Debian multiarch (what scripts/cross.sh does): the armhf -dev packages
#   installed next to the native ones under /usr/lib/arm-linux-gnueabihf, plus
#   AVBOX_ARMHF_OVERLAY, a folder with armhf packages unpacked by dpkg -x for
#   what cannot be co-installed with the native build (libevent-dev).
# - A sysroot of your own (a copy of the box's root file system, or one made
#   with debootstrap --arch=armhf):
#     cmake -S . -B build-armhf -G Ninja \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DAVBOX_SYSROOT=/path/to/root
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(AVBOX_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${AVBOX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${AVBOX_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${AVBOX_TRIPLE})

# GCC notes every std::map iterator passed by value that GCC 7 changed how
# it passes on ARM; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Toolchain files are read again by every try_compile: pass the settings on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AVBOX_SYSROOT AVBOX_ARMHF_OVERLAY)


set(pc_dirs "")
if(AVBOX_SYSROOT)
  set(CMAKE_SYSROOT ${AVBOX_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${AVBOX_SYSROOT})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${AVBOX_SYSROOT})
  set(base ${AVBOX_SYSROOT})
else()
  set(base "")
endif()
if(AVBOX_ARMHF_OVERLAY)
  # Searched before the multiarch folders (its .pc files name it as prefix).
  list(PREPEND CMAKE_PREFIX_PATH ${AVBOX_ARMHF_OVERLAY}/usr)
  string(APPEND pc_dirs "${AVBOX_ARMHF_OVERLAY}/usr/lib/${AVBOX_TRIPLE}/pkgconfig:")
endif()
# Only armhf .pc files: never the native ones under x86_64-linux-gnu.
string(APPEND pc_dirs "${base}/usr/lib/${AVBOX_TRIPLE}/pkgconfig:${base}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dirs})
set(ENV{PKG_CONFIG_PATH} "")

# Programs run at build or test time (the test binaries) go through the
# emulator; what they start runs through binfmt_misc (scripts/cross.sh).
find_program(AVBOX_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(AVBOX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${AVBOX_QEMU_ARM})
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(AVBOX_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
