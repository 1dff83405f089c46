# Installs both libraries, their headers under <prefix>/include/zrperf/, a CMake
# package (find_package(zrperf) -> zrperf::zrperf, zrperf::framework, zrperf::sync) and zrperf.pc.
# The exporters install themselves (export/prometheus/ and export/otlp/): each
# library, its headers, its package component (zrperf::prometheus,
# zrperf::otlp) and its .pc file.
include(CMakePackageConfigHelpers)

set(ZRPERF_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/zrperf")
set(ZRPERF_INCLUDE_SUBDIR "${CMAKE_INSTALL_INCLUDEDIR}/zrperf")

# Each installed file belongs to one install component, which the Debian
# packages (cmake/ZrPackaging.cmake) follow: `runtime` (libzrperf),
# `framework_runtime` (libzrframework), `prometheus_runtime`
# (libzrperf-prometheus), `otlp_runtime` (libzrperf-otlp), `development` (headers, .so links, CMake and
# pkg-config files) and `tools` (the demo, examples/).
install(TARGETS zrperf EXPORT zrperfTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${ZRPERF_INCLUDE_SUBDIR})
if(NOT ZRPERF_FRAMEWORK_LIBRARY)
  install(TARGETS zrframework EXPORT zrperfTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            COMPONENT framework_runtime NAMELINK_COMPONENT development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT framework_runtime
    INCLUDES DESTINATION ${ZRPERF_INCLUDE_SUBDIR})
endif()
# Headers only: nothing but its entry in the CMake package.
install(TARGETS zrsync EXPORT zrperfTargets COMPONENT development
  INCLUDES DESTINATION ${ZRPERF_INCLUDE_SUBDIR})

# Public headers keep their directory layout; test files, internal/ folders
# and the fuzzer's corpus (an empty folder once filtered) are not installed.
install(FILES zrperf.h "${ZRPERF_GENERATED_INCLUDE_DIR}/zrperf/Version.h"
        DESTINATION ${ZRPERF_INCLUDE_SUBDIR} COMPONENT development)
foreach(dir sync perf util framework counters)
  install(DIRECTORY ${dir}/ DESTINATION ${ZRPERF_INCLUDE_SUBDIR}/${dir} COMPONENT development
          FILES_MATCHING PATTERN "*.h" PATTERN "*_test*" EXCLUDE PATTERN "internal" EXCLUDE
          PATTERN "fuzz_corpus" EXCLUDE)
endforeach()
# The only internal headers installed: public classes embed their types by value
# for speed (CTimeCounter: SlotOwner, TimeFigures and, through it,
# LatencyHistogram's bucket count; CMediaSpeedCounter: SlotOwner; CPerfCounters:
# NameIndex). Their layouts are part of the ABI; they are no interface to use.
install(FILES counters/internal/ThreadSlots.h counters/internal/TimeFigures.h
              counters/internal/LatencyHistogram.h
        DESTINATION ${ZRPERF_INCLUDE_SUBDIR}/counters/internal COMPONENT development)
install(FILES perf/internal/NameIndex.h DESTINATION ${ZRPERF_INCLUDE_SUBDIR}/perf/internal
        COMPONENT development)

install(EXPORT zrperfTargets NAMESPACE zrperf:: DESTINATION ${ZRPERF_INSTALL_CMAKEDIR}
        COMPONENT development)
configure_package_config_file(cmake/zrperfConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/zrperfConfig.cmake"
  INSTALL_DESTINATION ${ZRPERF_INSTALL_CMAKEDIR})
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/zrperfConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zrperfConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/zrperfConfigVersion.cmake"
        DESTINATION ${ZRPERF_INSTALL_CMAKEDIR} COMPONENT development)

# The .pc file finds its prefix relative to its own directory (ZRPERF_PC_TO_PREFIX).
configure_file(cmake/zrperf.pc.in "${CMAKE_CURRENT_BINARY_DIR}/zrperf.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zrperf.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
