# Prints the emulator command line (a ;-list) that the powerpc64-linux-gnu
# toolchain gives CTest, so that scripts run target programs exactly as the
# test suite does.
# Usage: cmake [-DZRPERF_PPC64_DEPS=<dir>] -P print-ppc64-emulator.cmake
include("${CMAKE_CURRENT_LIST_DIR}/powerpc64-linux-gnu.cmake")
execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${CMAKE_CROSSCOMPILING_EMULATOR}")
