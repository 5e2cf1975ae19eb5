# Cross-compiling for the device's ARM board (armhf) with Debian's cross compiler
# and Debian's armhf multiarch packages installed on the build machine; the unit
# tests run under qemu-user. scripts/build-armhf.sh installs the packages and
# configures with this file:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/debian-armhf.cmake \
#         -DKVAGENT_LWS_ARMHF_DIR=build-armhf/deps/lws -DKVAGENT_BENCH=OFF
# For a device sysroot instead of multiarch packages see arm-linux-gnueabihf.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Headers and libraries are the build machine's own /usr, in their armhf
# multiarch folders; programs are the build machine's. Keep the amd64 ones out
# of every search.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
list(APPEND CMAKE_IGNORE_PATH
  /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake
  /usr/include/x86_64-linux-gnu)

# libwebsockets-dev:armhf cannot be installed beside the amd64 one; its headers
# are unpacked here with a pkg-config file of their own
# (scripts/install-deps-armhf.sh). Its lws_config.h must come before /usr/include's.
set(KVAGENT_LWS_ARMHF_DIR "" CACHE PATH "unpacked libwebsockets-dev:armhf (holds pkgconfig/libwebsockets.pc)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KVAGENT_LWS_ARMHF_DIR)

# pkg-config sees the armhf .pc files only.
set(_kvagent_pc /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
if(KVAGENT_LWS_ARMHF_DIR)
  get_filename_component(_kvagent_lws "${KVAGENT_LWS_ARMHF_DIR}" ABSOLUTE)
  set(_kvagent_pc "${_kvagent_lws}/pkgconfig:${_kvagent_pc}")
endif()
set(ENV{PKG_CONFIG_LIBDIR} "${_kvagent_pc}")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# Target programs (gtest_discover_tests, ctest) run under qemu-user. The armhf
# loader and libraries are the multiarch ones in the build machine's /lib and
# /usr/lib, so the emulator's root is /. KVAGENT_EMULATED tells the tests that
# they run emulated (see tests/unit/emulation.h).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env KVAGENT_EMULATED=1 qemu-arm -L /)
