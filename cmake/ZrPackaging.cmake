# Debian packages of the build, made by CPack's DEB generator (`cpack -G DEB`
# in the build directory; scripts/deb.sh configures, builds and runs it).
#
# One package per install component (cmake/ZrInstall.cmake assigns them):
#   runtime             libzrperf<N>             libzrperf.so.<N>
#   framework_runtime   libzrframework<N>        libzrframework.so.<N>
#   prometheus_runtime  libzrperf-prometheus<N>  libzrperf-prometheus.so.<N> (when built)
#   otlp_runtime        libzrperf-otlp<N>        libzrperf-otlp.so.<N> (when built)
#   development         libzrperf-dev            headers, .so links, CMake and pkg-config files
#   tools               zrperf-tools             zrperf-demo, zrperf-report (when built)
# <N> is each library's SOVERSION, i.e. PROJECT_VERSION_MAJOR: a new major
# version gives new runtime package names, which can be installed beside the
# old ones.
#
# Dependencies of the packages holding programs and libraries come from
# dpkg-shlibdeps; each runtime package carries a shlibs file, activates
# ldconfig's trigger and is Multi-Arch: same. libzrperf-dev depends on the
# exact versions of the runtime packages and on the -dev packages that its
# headers include.
#
# CMAKE_INSTALL_PREFIX must be /usr and CMAKE_INSTALL_LIBDIR the Debian
# multiarch directory (lib/x86_64-linux-gnu, lib/powerpc64-linux-gnu, ...), as
# scripts/deb.sh sets them; elsewhere the packages are still made, but without
# Multi-Arch.

# Every ELF file that the packages ship declares a non-executable stack
# (PT_GNU_STACK). GCC for 64-bit big-endian PowerPC marks no object file with
# .note.GNU-stack, so its linker writes no such header on its own, and a
# library without one may get an executable stack from the loader (lintian:
# shared-library-lacks-stack-section, an error). Elsewhere the flag changes
# nothing. Set for every build, so that packaging an existing build directory
# relinks nothing.
foreach(zr_target zrperf zrframework zrperf_prometheus zrperf_otlp zrperf-demo zrperf-report)
  if(TARGET ${zr_target})
    get_target_property(zr_imported ${zr_target} IMPORTED)
    if(NOT zr_imported)
      target_link_options(${zr_target} PRIVATE "LINKER:-z,noexecstack")
    endif()
  endif()
endforeach()

find_program(ZRPERF_DPKG_ARCHITECTURE dpkg-architecture)
find_program(ZRPERF_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(ZRPERF_GZIP gzip)
if(NOT ZRPERF_DPKG_ARCHITECTURE OR NOT ZRPERF_DPKG_SHLIBDEPS OR NOT ZRPERF_GZIP)
  message(STATUS "dpkg-dev or gzip not found: no Debian packages (scripts/deb.sh installs them)")
  return()
endif()

set(ZRPERF_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages (the N of <version>-N)")
set(ZRPERF_DEB_MAINTAINER "zrperf maintainers <maintainers@users.noreply.c-seed-5167bd97.example>"
    CACHE STRING "Maintainer field of the Debian packages")

# --- Architecture -------------------------------------------------------------
# The host's for a native build; for a cross build, the one that dpkg
# associates with the compiler's GNU triplet (powerpc64-linux-gnu -> ppc64).
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -dumpmachine
                  OUTPUT_VARIABLE zr_triplet OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${ZRPERF_DPKG_ARCHITECTURE}" -t${zr_triplet} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE zr_deb_arch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
else()
  execute_process(COMMAND "${ZRPERF_DPKG_ARCHITECTURE}" -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE zr_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND "${ZRPERF_DPKG_ARCHITECTURE}" -a${zr_deb_arch} -qDEB_HOST_MULTIARCH
                OUTPUT_VARIABLE zr_deb_multiarch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
set(zr_multiarch_same OFF)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND CMAKE_INSTALL_LIBDIR STREQUAL "lib/${zr_deb_multiarch}")
  set(zr_multiarch_same ON)
else()
  message(STATUS "Debian packages: install prefix ${CMAKE_INSTALL_PREFIX}, libdir "
                 "${CMAKE_INSTALL_LIBDIR}: not /usr and lib/${zr_deb_multiarch}, so the runtime "
                 "packages are not Multi-Arch (scripts/deb.sh configures both)")
endif()

# --- Package names and versions ---------------------------------------------
# Debian's rule for a shared library's package: its SONAME without ".so",
# the version appended (with a "-" when the name ends in a digit).
function(zr_deb_library_package out target)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  get_target_property(soversion ${target} SOVERSION)
  if(name MATCHES "[0-9]$")
    set(${out} "lib${name}-${soversion}" PARENT_SCOPE)
  else()
    set(${out} "lib${name}${soversion}" PARENT_SCOPE)
  endif()
endfunction()

set(zr_deb_version "${PROJECT_VERSION}-${ZRPERF_DEB_RELEASE}")
zr_deb_library_package(zr_pkg_runtime zrperf)
set(zr_components runtime development)
set(zr_runtime_packages ${zr_pkg_runtime})
# Lines of the shlibs file that tells dpkg-shlibdeps which package holds each
# of our libraries (no dpkg database knows them while they are being packaged).
set(zr_shlibs "")
function(zr_deb_shlibs_line target package)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  get_target_property(soversion ${target} SOVERSION)
  set(zr_shlibs "${zr_shlibs}lib${name} ${soversion} ${package} (>= ${zr_deb_version})\n"
      PARENT_SCOPE)
endfunction()
zr_deb_shlibs_line(zrperf ${zr_pkg_runtime})
# libzrperf-dev's dependencies: the runtime packages, exactly this build, and
# the -dev packages of what its headers include (Boost, at the version that
# the CMake package asks for).
set(zr_dev_depends "${zr_pkg_runtime} (= ${zr_deb_version})")
get_target_property(zr_dir zrperf BINARY_DIR)
set(zr_private_dirs "${zr_dir}")
if(NOT ZRPERF_FRAMEWORK_LIBRARY)
  zr_deb_library_package(zr_pkg_framework zrframework)
  list(APPEND zr_components framework_runtime)
  list(APPEND zr_runtime_packages ${zr_pkg_framework})
  zr_deb_shlibs_line(zrframework ${zr_pkg_framework})
  string(APPEND zr_dev_depends ", ${zr_pkg_framework} (= ${zr_deb_version})")
  get_target_property(zr_dir zrframework BINARY_DIR)
  list(APPEND zr_private_dirs "${zr_dir}")
endif()
string(APPEND zr_dev_depends ", libboost-dev (>= 1.74)")
if(ZRPERF_HAVE_PROMETHEUS)
  zr_deb_library_package(zr_pkg_prometheus zrperf_prometheus)
  list(APPEND zr_components prometheus_runtime)
  list(APPEND zr_runtime_packages ${zr_pkg_prometheus})
  zr_deb_shlibs_line(zrperf_prometheus ${zr_pkg_prometheus})
  string(APPEND zr_dev_depends ", ${zr_pkg_prometheus} (= ${zr_deb_version}), prometheus-cpp-dev")
  get_target_property(zr_dir zrperf_prometheus BINARY_DIR)
  list(APPEND zr_private_dirs "${zr_dir}")
endif()
if(TARGET zrperf_otlp)
  zr_deb_library_package(zr_pkg_otlp zrperf_otlp)
  list(APPEND zr_components otlp_runtime)
  list(APPEND zr_runtime_packages ${zr_pkg_otlp})
  zr_deb_shlibs_line(zrperf_otlp ${zr_pkg_otlp})
  string(APPEND zr_dev_depends ", ${zr_pkg_otlp} (= ${zr_deb_version})")
  get_target_property(zr_dir zrperf_otlp BINARY_DIR)
  list(APPEND zr_private_dirs "${zr_dir}")
endif()
if(TARGET zrperf-demo OR TARGET zrperf-report)
  list(APPEND zr_components tools)
endif()

# --- dpkg-shlibdeps ------------------------------------------------------------
# CPack runs dpkg-shlibdeps on each package's ELF files with -l for the
# directories below (where it finds our libraries, and for a cross build the
# target's), through a wrapper that hands it our shlibs lines as its local
# shlibs file (-L). For a cross build the wrapper also tells it the target
# architecture and adds the shlibs lines of the host's own library packages:
# the target's libraries (Debian's cross sysroot, the deps prefix) belong to
# no package of the target's architecture here, and the host's packages of the
# same Debian versions name the packages and minimum versions that the
# target's Debian archive has under the same names.
set(zr_deb_dir "${CMAKE_BINARY_DIR}/deb")
file(MAKE_DIRECTORY "${zr_deb_dir}")
file(WRITE "${zr_deb_dir}/shlibs.local" "${zr_shlibs}")
if(CMAKE_CROSSCOMPILING)
  foreach(root IN LISTS CMAKE_FIND_ROOT_PATH CMAKE_SYSROOT)
    if(root AND IS_DIRECTORY "${root}/lib")
      list(APPEND zr_private_dirs "${root}/lib")
    endif()
  endforeach()
  set(ZRPERF_DEB_CROSS_ARCH "${zr_deb_arch}")
else()
  set(ZRPERF_DEB_CROSS_ARCH "")
endif()
set(ZRPERF_DEB_SHLIBS_LOCAL "${zr_deb_dir}/shlibs.local")
configure_file("${CMAKE_CURRENT_LIST_DIR}/deb/shlibdeps.sh.in" "${zr_deb_dir}/dpkg-shlibdeps"
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# --- Documentation every package carries ----------------------------------------
# /usr/share/doc/<package>/copyright and changelog.Debian.gz (gzip -9n: no
# name or time stamp inside, so every architecture's copy is the same file, as
# Multi-Arch: same needs). Only the packages install them
# (EXCLUDE_FROM_ALL: CPack installs each component by name).
string(TIMESTAMP zr_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  # string(TIMESTAMP) honours SOURCE_DATE_EPOCH: reproducible packages.
  message(STATUS "Debian changelog date from SOURCE_DATE_EPOCH: ${zr_deb_date}")
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in" "${zr_deb_dir}/changelog" @ONLY)
execute_process(COMMAND "${ZRPERF_GZIP}" -9n -c "${zr_deb_dir}/changelog"
                OUTPUT_FILE "${zr_deb_dir}/changelog.Debian.gz" COMMAND_ERROR_IS_FATAL ANY)
macro(zr_deb_docs component package)
  install(FILES "${CMAKE_CURRENT_LIST_DIR}/deb/copyright" "${zr_deb_dir}/changelog.Debian.gz"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" COMPONENT ${component}
          EXCLUDE_FROM_ALL)
endmacro()
zr_deb_docs(runtime ${zr_pkg_runtime})
zr_deb_docs(development libzrperf-dev)
if(NOT ZRPERF_FRAMEWORK_LIBRARY)
  zr_deb_docs(framework_runtime ${zr_pkg_framework})
endif()
if(ZRPERF_HAVE_PROMETHEUS)
  zr_deb_docs(prometheus_runtime ${zr_pkg_prometheus})
endif()
if(TARGET zrperf_otlp)
  zr_deb_docs(otlp_runtime ${zr_pkg_otlp})
endif()
if(TARGET zrperf-demo OR TARGET zrperf-report)
  zr_deb_docs(tools zrperf-tools)
endif()
if(TARGET zrperf-report)
  execute_process(COMMAND "${ZRPERF_GZIP}" -9n -c "${CMAKE_CURRENT_LIST_DIR}/deb/zrperf-report.1"
                  OUTPUT_FILE "${zr_deb_dir}/zrperf-report.1.gz" COMMAND_ERROR_IS_FATAL ANY)
  install(FILES "${zr_deb_dir}/zrperf-report.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
          COMPONENT tools EXCLUDE_FROM_ALL)
endif()
if(TARGET zrperf-demo)
  execute_process(COMMAND "${ZRPERF_GZIP}" -9n -c "${CMAKE_CURRENT_LIST_DIR}/deb/zrperf-demo.1"
                  OUTPUT_FILE "${zr_deb_dir}/zrperf-demo.1.gz" COMMAND_ERROR_IS_FATAL ANY)
  install(FILES "${zr_deb_dir}/zrperf-demo.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
          COMPONENT tools EXCLUDE_FROM_ALL)
endif()

# --- CPack ----------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zrperf)
set(CPACK_PACKAGE_VENDOR "zrperf")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# Empty: CPack would otherwise put this one line above every package's own
# synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_CONTACT "${ZRPERF_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${zr_deb_dir}/packages")
set(CPACK_COMPONENTS_ALL ${zr_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${ZRPERF_DEB_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${zr_deb_arch}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${zr_private_dirs})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# A later version of the same SONAME keeps the ABI (new symbols only), so a
# program built against this version runs with it or any later one. (CPack
# writes the full version, <version>-<release>, as the minimum; the local
# shlibs lines above do the same.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The wrapper above, in place of the dpkg-shlibdeps that CPackDeb would look up.
set(CPACK_ZRPERF_SHLIBDEPS "${zr_deb_dir}/dpkg-shlibdeps")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/deb/CPackProjectConfig.cmake")
# Rewrites the runtime packages' control parts (see the script).
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/deb/FinishPackages.cmake")
set(CPACK_ZRPERF_RUNTIME_PACKAGES ${zr_runtime_packages})
set(CPACK_ZRPERF_MULTIARCH_SAME ${zr_multiarch_same})

set(zr_about "zrperf measures a long-running C++ service from the inside: named
elapsed-time counters (with latency histograms) and throughput counters, kept
in counter sets that a statistics logger thread writes as log records at a
fixed period and on request.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${zr_pkg_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "in-process performance counters for C++ services
${zr_about}
.
This package contains the shared library libzrperf: the counter sets, the
statistics logger, the comma-separated value reader and the configuration
store update.")

if(NOT ZRPERF_FRAMEWORK_LIBRARY)
  set(CPACK_DEBIAN_FRAMEWORK_RUNTIME_PACKAGE_NAME ${zr_pkg_framework})
  set(CPACK_DEBIAN_FRAMEWORK_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_FRAMEWORK_RUNTIME_DESCRIPTION "service framework of the zrperf counters
${zr_about}
.
This package contains the shared library libzrframework, which libzrperf
stands on: the log sink (spdlog-backed: standard error, rotating file or
syslog), the alertable event thread, the counters' recording engine and the
SQLite configuration store.")
endif()

if(ZRPERF_HAVE_PROMETHEUS)
  set(CPACK_DEBIAN_PROMETHEUS_RUNTIME_PACKAGE_NAME ${zr_pkg_prometheus})
  set(CPACK_DEBIAN_PROMETHEUS_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PROMETHEUS_RUNTIME_DESCRIPTION "zrperf counters as Prometheus metrics
${zr_about}
.
This package contains the shared library libzrperf-prometheus, which turns a
counter set into Prometheus metric families and serves them over HTTP or
writes them for node_exporter's textfile collector.")
endif()

if(TARGET zrperf_otlp)
  set(CPACK_DEBIAN_OTLP_RUNTIME_PACKAGE_NAME ${zr_pkg_otlp})
  set(CPACK_DEBIAN_OTLP_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_OTLP_RUNTIME_DESCRIPTION "zrperf counters pushed over OpenTelemetry OTLP/HTTP
${zr_about}
.
This package contains the shared library libzrperf-otlp, which pushes a
counter set to an OpenTelemetry receiver as OTLP metrics (exponential
histograms and sums), with retries and no loss across outages.")
endif()

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzrperf-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${zr_dev_depends}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "in-process performance counters for C++ services (development files)
${zr_about}
.
This package contains the C++17 headers (<zrperf/zrperf.h>), the links to
build against the libraries, the CMake package (find_package(zrperf)) and
the pkg-config files (zrperf, zrperf-prometheus).")

if(TARGET zrperf-demo OR TARGET zrperf-report)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zrperf-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "gnuplot-nox")  # zrperf-report plot
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "demonstration service and report tool of zrperf
${zr_about}
.
This package contains zrperf-report, which merges histogram logs over any
window exactly and draws them with gnuplot, and zrperf-demo, a simulated
storage service whose worker threads write and read back blocks per target
while zrperf times them and logs the statistics records.")
  if(ZRPERF_HAVE_PROMETHEUS)
    string(APPEND CPACK_DEBIAN_TOOLS_DESCRIPTION "
The demo can also serve its counters as Prometheus metrics or write them for
node_exporter.")
  endif()
endif()

include(CPack)
