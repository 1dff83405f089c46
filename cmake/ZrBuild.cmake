# Build helpers shared by every directory.

# Sanitizers for every target of the build.
function(zr_apply_sanitizers sanitizers)
  if(sanitizers)
    set(flags "-fsanitize=${sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all")
    set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} ${flags}" PARENT_SCOPE)
    set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -fsanitize=${sanitizers}" PARENT_SCOPE)
    set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -fsanitize=${sanitizers}" PARENT_SCOPE)
  endif()
endfunction()

# Warnings for one target.
function(zr_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # clang proves the lock contracts written with sync/ThreadAnnotations.h.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(ZRPERF_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Properties of the project's shared libraries: hidden visibility, versioned
# SONAME (lib<name>.so.<major>), warnings.
function(zr_library_properties target)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # A symbol missing from a library is a link error of that library, not of
  # its first user. (Sanitizer runtimes resolve only at program link.)
  if(NOT ZRPERF_SANITIZE)
    target_link_options(${target} PRIVATE "LINKER:--no-undefined")
  endif()
  zr_relative_run_path(${target} "${CMAKE_INSTALL_LIBDIR}")
  zr_warnings(${target})
endfunction()

# zr_relative_run_path(<target> <install dir of target>)
# Installed outside /usr, a library or program finds the project's libraries
# relative to itself ($ORIGIN), so an install tree works from any prefix
# (cmake --install --prefix /opt/zrperf) without LD_LIBRARY_PATH. Under /usr
# (the Debian packages) the libraries are on the system's search path and
# nothing is added.
function(zr_relative_run_path target dir)
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    file(RELATIVE_PATH to_libdir "/${dir}" "/${CMAKE_INSTALL_LIBDIR}")
    if(to_libdir STREQUAL "")
      set(to_libdir ".")
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_libdir}")
  endif()
endfunction()

# zr_internal_library(<name> <sources...> [LIBS <libs...>])
# A folder's internal/ units as a static library of position-independent,
# hidden objects. Every user (the folder's shared library, another library,
# a tool, a test) links it, so a unit is compiled in one place and a new file
# is added to one list. Nothing of it is installed or exported.
function(zr_internal_library name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_UNPARSED_ARGUMENTS})
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PUBLIC zrperf::sync ${ARG_LIBS})
  zr_warnings(${name})
endfunction()

# zr_add_test(<name> <sources...> [LIBS <libs...>])
# One GoogleTest executable per unit, registered with CTest under <name>.
function(zr_add_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} zrtest_support GTest::gtest GTest::gtest_main GTest::gmock
                        Threads::Threads)
  zr_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600
    ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()
