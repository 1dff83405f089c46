#!/usr/bin/env bash
# Builds the Debian packages (cmake/ZrPackaging.cmake): libzrperf<N>,
# libzrframework<N>, libzrperf-prometheus<N>, libzrperf-dev and zrperf-tools,
# for this machine's architecture or, with --ppc64, for 64-bit big-endian
# PowerPC (Debian architecture ppc64) with the cross toolchain.
#
#   1. installs what is missing (and for --ppc64 the target's libraries,
#      scripts/ppc64-deps.sh);
#   2. configures the build directory for the packages' paths: prefix /usr,
#      libraries in the multiarch directory (lib/x86_64-linux-gnu, ...);
#   3. builds, and runs cpack, which writes the packages into
#      <build-dir>/deb/packages/ (emptied first).
#
# A new build directory builds only what the packages hold (no tests, no
# benchmarks), with dpkg-buildflags' flags. An existing one (CI passes build/ or build-ppc64/, which the
# test steps made) is reused as it is: only its install paths change for the
# packaging, and they are set back afterwards, so its other users (the
# consumer test installs it into a temporary prefix) see no difference.
#
# Usage: scripts/deb.sh [--ppc64] [--build-dir DIR]   (as root, or with sudo)
#   DIR defaults to build-deb, or build-deb-ppc64 with --ppc64.
# Prints the path of each package made, one a line, on its standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cross=0
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --ppc64) cross=1; shift ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    *) echo "usage: $0 [--ppc64] [--build-dir DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$build_dir" ]; then
  if [ "$cross" -eq 1 ]; then build_dir=build-deb-ppc64; else build_dir=build-deb; fi
fi

log() { echo "deb: $*" >&2; }
die() { echo "deb: error: $*" >&2; exit 1; }

# dpkg-dev: dpkg-shlibdeps and dpkg-architecture; file and binutils' readelf:
# CPack finds the ELF files and their SONAMEs with them.
bash scripts/deps.sh dpkg-dev file binutils >&2

cmake_args=()
if [ "$cross" -eq 1 ]; then
  deps="${ZRPERF_PPC64_DEPS:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/zrperf/ppc64-deps}"
  bash scripts/ppc64-deps.sh --prefix "$deps" >&2
  deps=$(cd "$deps" && pwd)
  arch=$(dpkg-architecture -t powerpc64-linux-gnu -qDEB_HOST_ARCH 2>/dev/null)
  cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc64-linux-gnu.cmake"
               -DZRPERF_PPC64_DEPS="$deps")
else
  arch=$(dpkg-architecture -qDEB_HOST_ARCH)
fi
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)

# The changelog's date (and so the packages) follow the last commit, not the
# clock: the same sources give the same packages.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

# cache_value <dir> <name>: a value from an existing build directory's cache.
cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

restore=()
if [ -f "$build_dir/CMakeCache.txt" ]; then
  old_prefix=$(cache_value "$build_dir" CMAKE_INSTALL_PREFIX)
  old_libdir=$(cache_value "$build_dir" CMAKE_INSTALL_LIBDIR)
  if [ "$old_prefix" != /usr ] || [ "$old_libdir" != "lib/$multiarch" ]; then
    restore=(-DCMAKE_INSTALL_PREFIX="$old_prefix" -DCMAKE_INSTALL_LIBDIR="$old_libdir")
  fi
else
  # A new directory is built with Debian's compiler and linker flags for
  # packages (hardening included), as Debian's own packages are.
  flags_env=(env DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH="$arch")
  cxxflags="$("${flags_env[@]}" dpkg-buildflags --get CPPFLAGS) $("${flags_env[@]}" dpkg-buildflags --get CXXFLAGS)"
  ldflags=$("${flags_env[@]}" dpkg-buildflags --get LDFLAGS)
  cmake_args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRPERF_WERROR=ON -DZRPERF_BUILD_TESTS=OFF
               -DZRPERF_BUILD_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS="$cxxflags"
               -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags")
fi
if [ ${#restore[@]} -gt 0 ]; then
  trap 'log "install paths of $build_dir set back"
        cmake -S . -B "$build_dir" "${restore[@]}" >/dev/null || true' EXIT
fi

log "configure $build_dir for $arch (prefix /usr, libdir lib/$multiarch)"
cmake -S . -B "$build_dir" "${cmake_args[@]}" -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" >"$build_dir.deb-configure.log" 2>&1 ||
  { cat "$build_dir.deb-configure.log" >&2; die "configure failed"; }
rm -f "$build_dir.deb-configure.log"
[ -f "$build_dir/CPackConfig.cmake" ] || die "no CPack configuration in $build_dir (see cmake/ZrPackaging.cmake)"

log "build"
cmake --build "$build_dir" -j "$(nproc)" >&2

packages="$build_dir/deb/packages"
rm -rf "$packages"
log "cpack"
(cd "$build_dir" && cpack -G DEB --config CPackConfig.cmake) >"$build_dir/deb/cpack.log" 2>&1 ||
  { cat "$build_dir/deb/cpack.log" >&2; die "cpack failed"; }

found=0
for deb in "$packages"/*.deb; do
  [ -f "$deb" ] || continue
  [ "$(dpkg-deb --field "$deb" Architecture)" = "$arch" ] ||
    die "$deb is not for $arch: $(dpkg-deb --field "$deb" Architecture)"
  log "$(basename "$deb") $(stat -c %s "$deb") bytes"
  realpath "$deb"
  found=$((found + 1))
done
[ "$found" -gt 0 ] || die "cpack made no package"
