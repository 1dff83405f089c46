#!/usr/bin/env bash
# Builds, for powerpc64-linux-gnu, the libraries that the zrperf cross build
# links, into one prefix that cmake/powerpc64-linux-gnu.cmake searches:
#   GoogleTest/GMock  from the sources Debian's googletest package ships
#   fmt, spdlog       from Debian's source packages (spdlog against external fmt,
#                     as Debian builds it), with their CMake package files
#   SQLite            from Debian's source package (autotools, host triple)
#   civetweb          from Debian's source package (with its C++ wrapper, as
#                     Debian builds it; without TLS, which nothing here serves)
#   prometheus-cpp    from Debian's source package, core and pull against the
#                     civetweb above (no push, no compression: not used)
#   zlib              from Debian's source package (its own configure script),
#                     for the endpoint's gzip answers
#   libcurl           from Debian's source package (autotools, host triple),
#                     http only against the zlib above: the OTLP exporter's
#                     tests use a loopback receiver without TLS
#   Boost             a link to the host's architecture-independent headers
# Each library is built from the same Debian version as the host's -dev
# package, and is skipped when the prefix already holds that version built by
# the same cross compiler and recipe. A lock keeps concurrent runs apart.
#
# Usage: scripts/ppc64-deps.sh [--prefix DIR]   (as root, or with sudo available)
#   DIR defaults to $ZRPERF_PPC64_DEPS, else ${XDG_CACHE_HOME:-$HOME/.cache}/zrperf/ppc64-deps.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
triple=powerpc64-linux-gnu
toolchain="$root/cmake/$triple.cmake"
# Bump when a build recipe below changes, so cached builds are redone.
recipe=1

prefix="${ZRPERF_PPC64_DEPS:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/zrperf/ppc64-deps}"
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix="$2"; shift 2 ;;
    *) echo "usage: $0 [--prefix DIR]" >&2; exit 2 ;;
  esac
done

log() { echo "ppc64-deps: $*" >&2; }
die() { echo "ppc64-deps: error: $*" >&2; exit 1; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Host tools: the cross compilers, the emulator, apt-get source (dpkg-dev),
# tclsh (SQLite generates its amalgamation with it) and the host -dev packages
# whose versions select the sources.
bash "$root/scripts/deps.sh" "g++-$triple" "gcc-$triple" qemu-user dpkg-dev tcl make xz-utils \
  file googletest libgtest-dev libgmock-dev libfmt-dev libspdlog-dev libsqlite3-dev libboost-dev libcivetweb-dev prometheus-cpp-dev zlib1g-dev libcurl4-openssl-dev

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
stamps="$prefix/.stamps"
work="$prefix/.work"
mkdir -p "$stamps" "$work" "$prefix/include" "$prefix/lib"

exec 9>"$prefix/.lock"
if ! flock -n 9; then
  log "waiting for another run to release $prefix/.lock"
  flock 9
fi

jobs=$(nproc)
compiler_id=$("$triple-g++" --version | sed -n 1p)

# Version of the source package that built the installed host package $1.
host_source_version() {
  local v
  v=$(dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null) || die "$1 is not installed"
  [ -n "$v" ] || die "no source version for $1"
  echo "$v"
}

# key <name> <version>: what a cached build of <name> must match.
key() { echo "$1 $2 recipe=$recipe compiler=$compiler_id"; }

# is_built <name> <key> <file>: the stamp matches and the installed <file> is there.
is_built() { [ -f "$stamps/$1" ] && [ "$(cat "$stamps/$1")" = "$2" ] && [ -e "$prefix/$3" ]; }
mark_built() { echo "$2" >"$stamps/$1"; }

# Adds deb-src entries mirroring the machine's own Debian deb entries (same
# mirrors, suites and keys), unless source indexes are already available.
sources_ready=0
ensure_deb_src() {
  [ "$sources_ready" -eq 1 ] && return 0
  if apt-get source --print-uris -qq sqlite3 >/dev/null 2>&1; then
    sources_ready=1
    return 0
  fi
  local list=/etc/apt/sources.list.d/zrperf-ppc64-src.sources
  local tmp
  tmp=$(mktemp)
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    [ "$f" = "$list" ] && continue
    # deb822 stanzas are separated by blank lines; keep those of type deb for
    # bookworm and turn them into deb-src.
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb([ \t\n]|$)/ && /(^|\n)Suites:[^\n]*bookworm/ {
           gsub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$tmp"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    # One-line format: "deb [options] URI bookworm... components".
    sed -n 's/^[[:space:]]*deb[[:space:]]\(.*[[:space:]]bookworm.*\)$/deb-src \1/p' "$f" >>"$tmp.list"
  done
  if [ ! -s "$tmp" ] && [ ! -s "$tmp.list" ]; then
    rm -f "$tmp" "$tmp.list"
    die "no Debian bookworm deb entry found in /etc/apt to derive a deb-src entry from"
  fi
  if [ -s "$tmp" ]; then
    $SUDO install -m 0644 "$tmp" "$list"
    log "added $list"
  fi
  if [ -s "$tmp.list" ]; then
    $SUDO install -m 0644 "$tmp.list" "${list%.sources}.list"
    log "added ${list%.sources}.list"
  fi
  rm -f "$tmp" "$tmp.list"
  $SUDO apt-get update -qq
  apt-get source --print-uris -qq sqlite3 >/dev/null || die "source packages still unavailable"
  sources_ready=1
}

# fetch_source <source-package> <version> <dir>: unpacks the Debian source
# (with Debian's patches applied) into a fresh <dir>, preferring exactly the
# host's version and falling back to the mirror's current one. Prints the
# unpacked tree's path.
fetch_source() {
  local pkg=$1 version=$2 dir=$3
  ensure_deb_src
  rm -rf "$dir"
  mkdir -p "$dir"
  if ! (cd "$dir" && apt-get source -qq "$pkg=$version" >&2); then
    log "$pkg $version is not on the mirror; using its current version"
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$pkg" >&2)
  fi
  local tree
  tree=$(find "$dir" -mindepth 1 -maxdepth 1 -type d -print -quit)
  [ -n "$tree" ] || die "apt-get source $pkg unpacked nothing"
  echo "$tree"
}

# cmake_build <source-dir> <build-dir> [cache args...]: configures for the
# target, builds and installs into the prefix.
cmake_build() {
  local src=$1 bld=$2
  shift 2
  rm -rf "$bld"
  cmake -S "$src" -B "$bld" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DZRPERF_PPC64_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON "$@" >"$bld.configure.log" 2>&1 ||
    { cat "$bld.configure.log" >&2; die "configure of $src failed"; }
  cmake --build "$bld" -j "$jobs" >"$bld.build.log" 2>&1 ||
    { tail -n 50 "$bld.build.log" >&2; die "build of $src failed"; }
  cmake --install "$bld" >/dev/null
  rm -rf "$bld" "$bld.configure.log" "$bld.build.log"
}

# --- GoogleTest / GMock: static libraries from /usr/src/googletest ----------
v=$(host_source_version googletest)
k=$(key googletest "$v")
if is_built googletest "$k" lib/cmake/GTest/GTestConfig.cmake; then
  log "googletest $v: cached"
else
  log "googletest $v: building"
  cmake_build /usr/src/googletest "$work/googletest-build" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
  mark_built googletest "$k"
fi

# --- fmt: shared library, as Debian ships it --------------------------------
v=$(host_source_version libfmt-dev)
k=$(key fmtlib "$v")
if is_built fmtlib "$k" lib/cmake/fmt/fmt-config.cmake; then
  log "fmt $v: cached"
else
  log "fmt $v: building"
  tree=$(fetch_source fmtlib "$v" "$work/fmtlib-src")
  cmake_build "$tree" "$work/fmtlib-build" -DBUILD_SHARED_LIBS=ON -DFMT_TEST=OFF -DFMT_DOC=OFF \
    -DFMT_INSTALL=ON
  rm -rf "$work/fmtlib-src"
  mark_built fmtlib "$k"
  # spdlog links this fmt: rebuild it too.
  rm -f "$stamps/spdlog"
fi

# --- spdlog: shared library against the external fmt above -----------------
v=$(host_source_version libspdlog-dev)
k=$(key spdlog "$v")
if is_built spdlog "$k" lib/cmake/spdlog/spdlogConfig.cmake; then
  log "spdlog $v: cached"
else
  log "spdlog $v: building"
  tree=$(fetch_source spdlog "$v" "$work/spdlog-src")
  cmake_build "$tree" "$work/spdlog-build" -DSPDLOG_BUILD_SHARED=ON -DSPDLOG_FMT_EXTERNAL=ON \
    -DSPDLOG_BUILD_EXAMPLE=OFF -DSPDLOG_BUILD_TESTS=OFF -DSPDLOG_BUILD_BENCH=OFF -DSPDLOG_INSTALL=ON
  rm -rf "$work/spdlog-src"
  mark_built spdlog "$k"
fi

# --- SQLite: the library and its headers, autotools build for the target -----
v=$(host_source_version libsqlite3-dev)
k=$(key sqlite3 "$v")
if is_built sqlite3 "$k" include/sqlite3.h && [ -e "$prefix/lib/libsqlite3.so" ]; then
  log "sqlite3 $v: cached"
else
  log "sqlite3 $v: building"
  tree=$(fetch_source sqlite3 "$v" "$work/sqlite3-src")
  bld="$work/sqlite3-build"
  rm -rf "$bld" && mkdir -p "$bld"
  (
    cd "$bld"
    "$tree/configure" --build="$(gcc -dumpmachine)" --host="$triple" --prefix="$prefix" \
      --libdir="$prefix/lib" --disable-static --enable-shared --disable-tcl --disable-readline \
      --disable-editline --enable-threadsafe CFLAGS="-O2" >configure.log 2>&1 ||
      { cat configure.log >&2; exit 1; }
    # CROSS_BUILDING=yes (Debian's cross patch) builds the lemon parser
    # generator for the host; only the library and its headers are needed.
    make -j "$jobs" CROSS_BUILDING=yes libsqlite3.la sqlite3.h sqlite3.pc >build.log 2>&1 ||
      { tail -n 50 build.log >&2; exit 1; }
    make CROSS_BUILDING=yes lib_install >install.log 2>&1 || { tail -n 50 install.log >&2; exit 1; }
    install -m 0644 sqlite3.h "$tree/src/sqlite3ext.h" "$prefix/include/"
    install -D -m 0644 sqlite3.pc "$prefix/lib/pkgconfig/sqlite3.pc"
  ) || die "SQLite build failed"
  rm -rf "$bld" "$work/sqlite3-src"
  mark_built sqlite3 "$k"
fi

# --- zlib: shared library and headers, its own configure script --------------
# (Debian's source leaves out the Windows files its CMake build names.)
v=$(host_source_version zlib1g-dev)
k=$(key zlib "$v")
if is_built zlib "$k" include/zlib.h && [ -e "$prefix/lib/libz.so" ]; then
  log "zlib $v: cached"
else
  log "zlib $v: building"
  tree=$(fetch_source zlib "$v" "$work/zlib-src")
  (
    cd "$tree"
    CHOST="$triple" CC="$triple-gcc" CFLAGS="-O2 -fPIC" ./configure --prefix="$prefix" \
      --libdir="$prefix/lib" --shared >configure.log 2>&1 || { cat configure.log >&2; exit 1; }
    make -j "$jobs" >build.log 2>&1 ||
      { tail -n 50 build.log >&2; exit 1; }
    make install >install.log 2>&1 || { tail -n 50 install.log >&2; exit 1; }
  ) || die "zlib build failed"
  rm -rf "$work/zlib-src"
  mark_built zlib "$k"
fi

# --- libcurl: shared library and headers, autotools build for the target ------
v=$(host_source_version libcurl4-openssl-dev)
k=$(key curl "$v")
if is_built curl "$k" include/curl/curl.h && [ -e "$prefix/lib/libcurl.so" ]; then
  log "curl $v: cached"
else
  log "curl $v: building"
  tree=$(fetch_source curl "$v" "$work/curl-src")
  bld="$work/curl-build"
  rm -rf "$bld" && mkdir -p "$bld"
  (
    cd "$bld"
    "$tree/configure" --build="$(gcc -dumpmachine)" --host="$triple" --prefix="$prefix" \
      --libdir="$prefix/lib" --disable-static --enable-shared --without-ssl \
      --with-zlib="$prefix" --without-brotli --without-zstd --without-libpsl --without-libidn2 \
      --without-nghttp2 --without-librtmp --without-libssh2 --without-libgsasl \
      --disable-ldap --disable-ldaps --disable-manual --disable-docs \
      CFLAGS="-O2" >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
    make -j "$jobs" -C lib >build.log 2>&1 || { tail -n 50 build.log >&2; exit 1; }
    make -C lib install >install.log 2>&1 && make -C include install >>install.log 2>&1 &&
      make install-pkgconfigDATA >>install.log 2>&1 || { tail -n 50 install.log >&2; exit 1; }
  ) || die "curl build failed"
  rm -rf "$bld" "$work/curl-src"
  mark_built curl "$k"
fi

# --- Boost: header-only parts, seen through a link so that the cross compiler
# gets /usr/include/boost without the rest of the host's /usr/include. --------
v=$(host_source_version libboost-dev)
k=$(key boost "$v")
if is_built boost "$k" include/boost/version.hpp; then
  log "boost $v: cached"
else
  [ -d /usr/include/boost ] || die "/usr/include/boost is missing"
  ln -sfn /usr/include/boost "$prefix/include/boost"
  mark_built boost "$k"
  log "boost $v: linked"
fi

# --- civetweb: shared C library and its C++ wrapper -------------------------
v=$(host_source_version libcivetweb-dev)
k=$(key civetweb "$v")
if is_built civetweb "$k" lib/cmake/civetweb/civetweb-config.cmake; then
  log "civetweb $v: cached"
else
  log "civetweb $v: building"
  tree=$(fetch_source civetweb "$v" "$work/civetweb-src")
  cmake_build "$tree" "$work/civetweb-build" -DBUILD_SHARED_LIBS=ON -DCIVETWEB_SOVERSION=1 \
    -DCIVETWEB_ENABLE_CXX=ON -DCIVETWEB_ENABLE_WEBSOCKETS=ON -DCIVETWEB_ENABLE_SSL=OFF \
    -DCIVETWEB_BUILD_TESTING=OFF -DCIVETWEB_ENABLE_SERVER_EXECUTABLE=OFF \
    -DCIVETWEB_INSTALL_EXECUTABLE=OFF -DCIVETWEB_ENABLE_ASAN=OFF
  rm -rf "$work/civetweb-src"
  mark_built civetweb "$k"
  # prometheus-cpp's pull library links this civetweb: rebuild it too.
  rm -f "$stamps/prometheus-cpp"
fi

# --- prometheus-cpp: shared core and pull libraries -------------------------
v=$(host_source_version prometheus-cpp-dev)
k=$(key prometheus-cpp "$v")
if is_built prometheus-cpp "$k" lib/cmake/prometheus-cpp/prometheus-cpp-config.cmake; then
  log "prometheus-cpp $v: cached"
else
  log "prometheus-cpp $v: building"
  tree=$(fetch_source prometheus-cpp "$v" "$work/prometheus-cpp-src")
  cmake_build "$tree" "$work/prometheus-cpp-build" -DBUILD_SHARED_LIBS=ON \
    -DUSE_THIRDPARTY_LIBRARIES=OFF -DENABLE_PULL=ON -DENABLE_PUSH=OFF -DENABLE_COMPRESSION=OFF \
    -DENABLE_TESTING=OFF -DGENERATE_PKGCONFIG=ON
  rm -rf "$work/prometheus-cpp-src"
  mark_built prometheus-cpp "$k"
fi

# The libraries really are for the target: 64-bit big-endian PowerPC ELF.
shared=("$prefix"/lib/libfmt.so "$prefix"/lib/libspdlog.so "$prefix"/lib/libsqlite3.so
  "$prefix"/lib/libcivetweb.so "$prefix"/lib/libcivetweb-cpp.so
  "$prefix"/lib/libprometheus-cpp-core.so "$prefix"/lib/libprometheus-cpp-pull.so)
for lib in "${shared[@]}" "$prefix"/lib/libgtest.a; do
  [ -e "$lib" ] || die "$lib is missing after the build"
done
for lib in "${shared[@]}"; do
  desc=$(file -L "$lib")
  [[ $desc == *"ELF 64-bit MSB"*PowerPC* ]] || die "not a 64-bit big-endian PowerPC ELF: $desc"
done
log "ready in $prefix"
