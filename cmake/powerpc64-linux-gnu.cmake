# Toolchain for 64-bit big-endian PowerPC Linux (the library's deployed target),
# built with Debian's g++-powerpc64-linux-gnu and run under qemu-user.
#
# Target libraries (GoogleTest, SQLite, fmt, spdlog, civetweb, prometheus-cpp,
# a link to the Boost headers) come from the prefix that scripts/ppc64-deps.sh
# fills. Give it with
# -DZRPERF_PPC64_DEPS=<dir> or the environment variable of the same name;
# otherwise the script's default cache location is used.
#
# Every test CTest runs (and every target program the build runs) goes through
# CMAKE_CROSSCOMPILING_EMULATOR, so `ctest` runs the suite under qemu-ppc64.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64)

set(ZRPERF_PPC64_TRIPLE powerpc64-linux-gnu)
set(CMAKE_C_COMPILER ${ZRPERF_PPC64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZRPERF_PPC64_TRIPLE}-g++)

# The deps prefix. try_compile projects re-read this file, so it is forwarded
# to them explicitly.
if(NOT ZRPERF_PPC64_DEPS)
  if(DEFINED ENV{ZRPERF_PPC64_DEPS} AND NOT "$ENV{ZRPERF_PPC64_DEPS}" STREQUAL "")
    set(ZRPERF_PPC64_DEPS "$ENV{ZRPERF_PPC64_DEPS}")
  elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(ZRPERF_PPC64_DEPS "$ENV{XDG_CACHE_HOME}/zrperf/ppc64-deps")
  else()
    set(ZRPERF_PPC64_DEPS "$ENV{HOME}/.cache/zrperf/ppc64-deps")
  endif()
endif()
set(ZRPERF_PPC64_DEPS "${ZRPERF_PPC64_DEPS}" CACHE PATH "Prefix holding the target's dependencies")
if(NOT EXISTS "${ZRPERF_PPC64_DEPS}")
  message(FATAL_ERROR "No target dependencies in ${ZRPERF_PPC64_DEPS}: "
                      "run scripts/ppc64-deps.sh --prefix ${ZRPERF_PPC64_DEPS} first")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZRPERF_PPC64_DEPS)

# Libraries, headers and CMake package files come only from the target's C
# library directory and the deps prefix, never from the host's /usr; programs
# (code generators, nm) come from the host.
set(ZRPERF_PPC64_SYSROOT /usr/${ZRPERF_PPC64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH "${ZRPERF_PPC64_DEPS}" "${ZRPERF_PPC64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config, should anything ask it, sees only the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${ZRPERF_PPC64_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Programs run through scripts/run-ppc64.sh, which starts qemu-ppc64 with the
# target's loader and C library from the sysroot and the deps' shared libraries
# on the guest's library path (and handles a program re-executing itself).
get_filename_component(ZRPERF_PPC64_RUNNER "${CMAKE_CURRENT_LIST_DIR}/../scripts/run-ppc64.sh"
                       REALPATH)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ZRPERF_PPC64_RUNNER};--libs;${ZRPERF_PPC64_DEPS}/lib")
