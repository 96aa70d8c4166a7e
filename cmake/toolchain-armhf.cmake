# Cross build for the board (Debian 12 armhf, Cortex-A8) with Debian's
# g++-arm-linux-gnueabihf against a sysroot of armhf libraries made by
# scripts/armhf-sysroot.sh. Tests of the cross-built binaries run under
# qemu-arm with the same sysroot.
#   cmake --preset armhf   (or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#                           -DCM_ARMHF_SYSROOT=/path/to/sysroot)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CM_ARMHF_SYSROOT "/opt/capture_module-armhf-sysroot" CACHE PATH "armhf sysroot (scripts/armhf-sysroot.sh)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CM_ARMHF_SYSROOT)

# Libraries and headers come from the sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${CM_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C library and libstdc++ of the cross compiler; the sysroot's own
# libraries (and what they need in turn) are found at link time through
# rpath-link.
set(_lib "${CM_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
set(CMAKE_C_FLAGS_INIT "-mtune=cortex-a8")
set(CMAKE_CXX_FLAGS_INIT "-mtune=cortex-a8")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_lib} -Wl,-rpath-link,${CM_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf -Wl,-rpath-link,${CM_ARMHF_SYSROOT}/usr/lib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

set(ENV{PKG_CONFIG_LIBDIR} "${_lib}/pkgconfig:${CM_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CM_ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${CM_ARMHF_SYSROOT}")
