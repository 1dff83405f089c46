# Read by cpack before each package is made (CPACK_PROJECT_CONFIG_FILE in
# cmake/ZrPackaging.cmake): CPackDeb looks up dpkg-shlibdeps only when this
# variable is unset, so it runs the build's wrapper instead.
if(CPACK_ZRPERF_SHLIBDEPS)
  set(SHLIBDEPS_EXECUTABLE "${CPACK_ZRPERF_SHLIBDEPS}")
endif()
