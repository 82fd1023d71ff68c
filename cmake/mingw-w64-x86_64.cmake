# Cross build for 64-bit Windows with Debian's mingw-w64 (packages
# g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64).
#
#   cmake -S . -B build/windows/velmor \
#         --toolchain cmake/mingw-w64-x86_64.cmake \
#         -DVELMOR_MINGW_SYSROOT=<absolute path of the staging dir that holds
#                                 usr/lib/pkgconfig/libusb-1.0.pc> \
#         -DVELMOR_BUILD_TESTS=OFF -DVELMOR_BUILD_TOOLS=OFF
#
# scripts/windows-dll.sh builds libusb for Windows into such a staging dir
# and runs the above.
#
# Runtime: with VELMOR_MINGW_STATIC_RUNTIME (default ON) libgcc, libstdc++
# and winpthread are linked statically into every DLL and executable, so
# velmor.dll needs nothing beside it but libusb-1.0.dll. libusb is always
# linked dynamically: only its import library libusb-1.0.dll.a is found.
#
# Windows names a DLL without the "lib" prefix that CMake's MinGW rules add:
# the library comes out as velmor.dll with import library libvelmor.dll.a.
# Those rules are loaded after the toolchain file, so this file registers
# itself as the rules override and sets the prefix when read back in that
# role.

if(CMAKE_C_COMPILER_ID OR CMAKE_CXX_COMPILER_ID)
  # Read back as CMAKE_USER_MAKE_RULES_OVERRIDE: the compiler is known and
  # the platform rules are loaded.
  set(CMAKE_SHARED_LIBRARY_PREFIX "")
  set(CMAKE_SHARED_MODULE_PREFIX "")
  return()
endif()
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_FILE}")

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VELMOR_MINGW_TRIPLET x86_64-w64-mingw32)
# The -posix compilers use winpthread as the gthreads model, which is what
# std::thread and std::mutex need; the -win32 ones do not have them in GCC 12.
set(CMAKE_C_COMPILER ${VELMOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMOR_MINGW_TRIPLET}-windres)

# Staging dir of the Windows builds of the dependencies (libusb), laid out as
# a root file system: <dir>/usr/include, <dir>/usr/lib, <dir>/usr/bin. A
# cache entry so that re-configuring keeps it; the environment variable of
# the same name gives the first default.
if(NOT DEFINED VELMOR_MINGW_SYSROOT AND DEFINED ENV{VELMOR_MINGW_SYSROOT})
  set(VELMOR_MINGW_SYSROOT "$ENV{VELMOR_MINGW_SYSROOT}")
endif()
if(VELMOR_MINGW_SYSROOT)
  set(VELMOR_MINGW_SYSROOT "${VELMOR_MINGW_SYSROOT}" CACHE PATH "Staging root of the Windows dependencies")
endif()
# try_compile projects read this file again, in the same process: they must
# see the same settings, or they would reset the pkg-config environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMOR_MINGW_SYSROOT VELMOR_MINGW_STATIC_RUNTIME)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMOR_MINGW_TRIPLET})
if(VELMOR_MINGW_SYSROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH "${VELMOR_MINGW_SYSROOT}")
endif()
# Build tools come from the host, libraries and headers only from the
# Windows roots, so no Linux library can slip into the link.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (the host's) sees only the Windows .pc files. PKG_CONFIG_LIBDIR
# replaces the default search path; the sysroot is put in front of the paths
# the .pc files give, so the staging dir can live anywhere.
set(ENV{PKG_CONFIG_PATH} "")
if(VELMOR_MINGW_SYSROOT)
  set(ENV{PKG_CONFIG_LIBDIR} "${VELMOR_MINGW_SYSROOT}/usr/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VELMOR_MINGW_SYSROOT}")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/${VELMOR_MINGW_TRIPLET}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

option(VELMOR_MINGW_STATIC_RUNTIME "Link libgcc, libstdc++ and winpthread statically" ON)
if(VELMOR_MINGW_STATIC_RUNTIME)
  # -static makes the driver take libgcc, libstdc++ and libwinpthread from
  # their static archives. Libraries found by CMake, such as libusb's import
  # library, are linked by full path and stay dynamic.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
endif()
