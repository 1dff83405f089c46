# Run by cpack after it made the Debian packages (CPACK_POST_BUILD_SCRIPTS in
# cmake/ZrPackaging.cmake). CPack 3.25 cannot write two things that a shared
# library package needs, so this rewrites the control part of each runtime
# package (CPACK_ZRPERF_RUNTIME_PACKAGES), leaving its files as they are:
#   - the ldconfig trigger (a `triggers` file with "activate-noawait
#     ldconfig") in place of the postinst and postrm scripts that CPack writes
#     only to call ldconfig;
#   - the field "Multi-Arch: same" (when CPACK_ZRPERF_MULTIARCH_SAME: the
#     libraries are in the multiarch directory), so that the packages of
#     several architectures can be installed together.

find_program(zr_dpkg_deb dpkg-deb REQUIRED)

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND "${zr_dpkg_deb}" --field "${deb}" Package
                  OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  if(NOT package IN_LIST CPACK_ZRPERF_RUNTIME_PACKAGES)
    continue()
  endif()

  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${zr_dpkg_deb}" --raw-extract "${deb}" "${tree}"
                  COMMAND_ERROR_IS_FATAL ANY)

  # CPack's scripts hold nothing but the ldconfig call; anything else in them
  # would be lost here, so it stops the build instead.
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(EXISTS "${path}")
      file(READ "${path}" text)
      string(REGEX REPLACE "#![^\n]*\n|set -e\n|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n|\tldconfig\n|fi\n|\n"
             "" rest "${text}")
      if(NOT rest STREQUAL "")
        message(FATAL_ERROR "${package}: ${script} does more than call ldconfig:\n${text}")
      endif()
      file(REMOVE "${path}")
    endif()
  endforeach()
  file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")

  if(CPACK_ZRPERF_MULTIARCH_SAME)
    file(READ "${tree}/DEBIAN/control" control)
    if(NOT control MATCHES "(^|\n)Multi-Arch:")
      string(STRIP "${control}" control)
      file(WRITE "${tree}/DEBIAN/control" "${control}\nMulti-Arch: same\n")
    endif()
  endif()

  execute_process(COMMAND "${zr_dpkg_deb}" --root-owner-group -Zxz --build "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
  if(CPACK_ZRPERF_MULTIARCH_SAME)
    message(STATUS "CPack: ${package}: ldconfig trigger, Multi-Arch: same")
  else()
    message(STATUS "CPack: ${package}: ldconfig trigger")
  endif()
endforeach()
