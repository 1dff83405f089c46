# Installs both libraries, their headers under <prefix>/include/zrperf/, a CMake
# package (find_package(zrperf) -> zrperf::zrperf, zrperf::framework, zrperf::sync) and zrperf.pc;
# with libzrperf-prometheus built, also that library (export/CMakeLists.txt installs
# it), the package's `prometheus` component (zrperf::prometheus) and
# zrperf-prometheus.pc.
include(CMakePackageConfigHelpers)

set(ZRPERF_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/zrperf")
set(ZRPERF_INCLUDE_SUBDIR "${CMAKE_INSTALL_INCLUDEDIR}/zrperf")

set(zr_targets zrperf zrsync)
if(NOT ZRPERF_FRAMEWORK_LIBRARY)
  list(APPEND zr_targets zrframework)
endif()
install(TARGETS ${zr_targets} EXPORT zrperfTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${ZRPERF_INCLUDE_SUBDIR})

# Public headers keep their directory layout; test files and internal/ folders
# are not installed.
install(FILES zrperf.h "${ZRPERF_GENERATED_INCLUDE_DIR}/zrperf/Version.h"
        DESTINATION ${ZRPERF_INCLUDE_SUBDIR})
foreach(dir sync perf util framework counters)
  install(DIRECTORY ${dir}/ DESTINATION ${ZRPERF_INCLUDE_SUBDIR}/${dir}
          FILES_MATCHING PATTERN "*.h" PATTERN "*_test*" EXCLUDE PATTERN "internal" EXCLUDE)
endforeach()
# The only internal headers installed: public classes embed their types by value
# for speed (CTimeCounter: SlotOwner, TimeFigures and, through it,
# LatencyHistogram's bucket count; CMediaSpeedCounter: SlotOwner; CPerfCounters:
# NameIndex). Their layouts are part of the ABI; they are no interface to use.
install(FILES counters/internal/ThreadSlots.h counters/internal/TimeFigures.h
              counters/internal/LatencyHistogram.h
        DESTINATION ${ZRPERF_INCLUDE_SUBDIR}/counters/internal)
install(FILES perf/internal/NameIndex.h DESTINATION ${ZRPERF_INCLUDE_SUBDIR}/perf/internal)

install(EXPORT zrperfTargets NAMESPACE zrperf:: DESTINATION ${ZRPERF_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/zrperfConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/zrperfConfig.cmake"
  INSTALL_DESTINATION ${ZRPERF_INSTALL_CMAKEDIR})
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/zrperfConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zrperfConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/zrperfConfigVersion.cmake"
        DESTINATION ${ZRPERF_INSTALL_CMAKEDIR})

# The .pc file finds its prefix relative to its own directory, so an install
# tree stays usable wherever it is unpacked (cmake --install --prefix ...).
file(RELATIVE_PATH ZRPERF_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" ZRPERF_PC_TO_PREFIX "${ZRPERF_PC_TO_PREFIX}")
configure_file(cmake/zrperf.pc.in "${CMAKE_CURRENT_BINARY_DIR}/zrperf.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zrperf.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(ZRPERF_HAVE_PROMETHEUS)
  configure_file(cmake/zrperf-prometheus.pc.in "${CMAKE_CURRENT_BINARY_DIR}/zrperf-prometheus.pc"
                 @ONLY)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zrperf-prometheus.pc"
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
