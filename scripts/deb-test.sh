#!/usr/bin/env bash
# Tests the Debian packages that scripts/deb.sh makes (docs/packaging.md):
#   1. builds them (reusing BUILD_DIR, default build/, when the test step made it);
#   2. lintian over every package: no error, and every warning tag is one that
#      docs/packaging.md explains; no installed file is outside a package;
#   3. apt resolves every package's dependencies from Debian's archive; the
#      packages unpacked (dpkg -x) into an empty directory, a program built and
#      run against those files only, through find_package(zrperf) and through
#      pkg-config (libzrperf-prometheus too), and the demo run from there;
#   4. a real installation on this machine (dpkg -i): the libraries reach
#      ldconfig's cache and a program builds with the system's pkg-config and
#      runs without a library path; then dpkg -r of the runtime package and
#      dpkg --purge of all of them leave none of their files behind;
#   5. with --ppc64 [DIR] (CI passes build-ppc64, which the cross test step
#      made): the ppc64 packages, their control fields (Architecture: ppc64,
#      Debian's package names in Depends), file lists (the host packages' with
#      the target's multiarch directory), code (big-endian PowerPC), lintian;
#      and a program built against their unpacked files runs under qemu-ppc64.
#
# Usage: scripts/deb-test.sh [--build-dir DIR] [--ppc64 [DIR]]   (as root, or with sudo)
set -euo pipefail
cd "$(dirname "$0")/.."
# Outputs are matched as here-strings, not through "| grep -q": grep stopping
# at the first match would fail the writer with SIGPIPE, and so the pipeline.

build_dir=build
ppc64_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --ppc64)
      if [ $# -ge 2 ] && [ "${2#-}" = "$2" ]; then ppc64_dir="$2"; shift 2
      else ppc64_dir=build-deb-ppc64; shift; fi ;;
    *) echo "usage: $0 [--build-dir DIR] [--ppc64 [DIR]]" >&2; exit 2 ;;
  esac
done

die() { echo "deb-test: error: $*" >&2; exit 1; }
step() { echo "deb-test: $* ($(date +%T))"; }
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

bash scripts/deps.sh lintian dpkg-dev file binutils pkg-config

work=$(mktemp -d)
installed=()
cleanup() {
  if [ ${#installed[@]} -gt 0 ]; then
    echo "deb-test: purging ${installed[*]} after a failure" >&2
    $SUDO dpkg --purge "${installed[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# dpkg_run <args...>: dpkg, waiting while another dpkg or apt holds its lock.
dpkg_run() {
  for _ in $(seq 1 60); do
    if $SUDO dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
    grep -q "lock" "$work/dpkg.log" || { cat "$work/dpkg.log" >&2; return 1; }
    sleep 5
  done
  cat "$work/dpkg.log" >&2
  return 1
}

# lint <debs...>: no error; each warning's tag is explained in docs/packaging.md.
lint() {
  local out tag bad=0
  out=$(lintian --allow-root --fail-on none --tag-display-limit 0 "$@" 2>&1)
  if [ -n "$out" ]; then echo "$out"; fi
  if grep -q '^E: ' <<<"$out"; then die "lintian found errors"; fi
  while read -r tag; do
    [ -n "$tag" ] || continue
    if ! grep -qF "\`$tag\`" docs/packaging.md; then
      echo "deb-test: lintian warning $tag is not explained in docs/packaging.md" >&2
      bad=1
    fi
  done < <(awk '/^W: / { print $3 }' <<<"$out" | sort -u)
  [ "$bad" -eq 0 ] || die "unexplained lintian warnings"
}

# field <deb> <name>: a control field of a package.
field() { dpkg-deb --field "$1" "$2"; }
# files <deb>: its file and link paths, sorted.
files() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./|/|' | LC_ALL=C sort; }

step "packages for the host"
mapfile -t debs < <(bash scripts/deb.sh --build-dir "$build_dir")
[ ${#debs[@]} -gt 0 ] || die "no package was made"
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
major=$(sed -n 's/^#define ZRPERF_VERSION_MAJOR \([0-9]*\)$/\1/p' \
        "$build_dir/generated/include/zrperf/Version.h")
[ -n "$major" ] || die "no major version in $build_dir/generated/include/zrperf/Version.h"
declare -A deb_of
for deb in "${debs[@]}"; do deb_of[$(field "$deb" Package)]=$deb; done
runtime=("libzrperf$major" "libzrframework$major" "libzrperf-prometheus$major")
# The OTLP library is built where libcurl is found (scripts/deps.sh installs it).
if compgen -G "$build_dir/export/otlp/libzrperf-otlp.so.*" >/dev/null; then
  runtime+=("libzrperf-otlp$major")
fi
expected=("${runtime[@]}" libzrperf-dev zrperf-tools)
for p in "${expected[@]}"; do
  [ -n "${deb_of[$p]:-}" ] || die "package $p was not made (made: ${!deb_of[*]})"
done
[ ${#debs[@]} -eq ${#expected[@]} ] || die "unexpected packages: ${!deb_of[*]}"

passed=0
step "lintian"
lint "${debs[@]}"
passed=$((passed + 1))

step "control fields and file lists"
# An install rule without a component would be in no package.
cmake --install "$build_dir" --component Unspecified --prefix "$work/unspecified" >/dev/null
if [ -d "$work/unspecified" ] && [ -n "$(find "$work/unspecified" ! -type d)" ]; then
  die "installed files in no package: $(find "$work/unspecified" ! -type d | tr '\n' ' ')"
fi
for p in "${runtime[@]}"; do
  deb=${deb_of[$p]}
  [ "$(field "$deb" Multi-Arch)" = same ] || die "$p is not Multi-Arch: same"
  [ "$(field "$deb" Section)" = libs ] || die "$p is not in section libs"
  grep -qx "activate-noawait ldconfig" <<<"$(dpkg-deb --info "$deb" triggers)" ||
    die "$p does not activate the ldconfig trigger"
  if dpkg-deb --info "$deb" postinst >/dev/null 2>&1; then die "$p has a postinst"; fi
  lib=${p%"$major"}
  grep -qxF "$lib $major $p (>= $(field "$deb" Version))" <<<"$(dpkg-deb --info "$deb" shlibs)" ||
    die "$p: shlibs file: $(dpkg-deb --info "$deb" shlibs)"
  diff <(files "$deb") <(printf '%s\n' "/usr/lib/$multiarch/$lib.so.$major" \
      "/usr/lib/$multiarch/$lib.so.$(field "$deb" Version | sed 's/-[^-]*$//')" \
      "/usr/share/doc/$p/changelog.Debian.gz" "/usr/share/doc/$p/copyright" | LC_ALL=C sort) ||
    die "$p holds other files than its library"
done
version=$(field "${deb_of[libzrperf-dev]}" Version)
depends=$(field "${deb_of[libzrperf-dev]}" Depends)
for dep in "${runtime[@]/%/ (= $version)}" "libboost-dev" "prometheus-cpp-dev"; do
  grep -qF "$dep" <<<"$depends" || die "libzrperf-dev does not depend on $dep: $depends"
done
# Programs depend on the runtime packages through dpkg-shlibdeps.
grep -qF "libzrperf$major (>= $version)" <<<"$(field "${deb_of[zrperf-tools]}" Depends)" ||
  die "zrperf-tools: Depends: $(field "${deb_of[zrperf-tools]}" Depends)"
grep -qF "libzrframework$major (>= $version)" <<<"$(field "${deb_of[libzrperf$major]}" Depends)" ||
  die "libzrperf$major: Depends: $(field "${deb_of[libzrperf$major]}" Depends)"
grep -qx /usr/bin/zrperf-demo <<<"$(files "${deb_of[zrperf-tools]}")" || die "zrperf-tools has no zrperf-demo"
dev_files=$(files "${deb_of[libzrperf-dev]}")
for f in /usr/include/zrperf/zrperf.h "/usr/lib/$multiarch/libzrperf.so" \
         "/usr/lib/$multiarch/cmake/zrperf/zrperfConfig.cmake" \
         "/usr/lib/$multiarch/pkgconfig/zrperf.pc" "/usr/lib/$multiarch/pkgconfig/zrperf-prometheus.pc" \
         /usr/include/zrperf/export/prometheus/PrometheusCollector.h \
         /usr/include/zrperf/PrometheusCollector.h; do
  grep -qx "$f" <<<"$dev_files" || die "libzrperf-dev has no $f"
done
if [ -n "${deb_of[libzrperf-otlp$major]:-}" ]; then
  for f in "/usr/lib/$multiarch/pkgconfig/zrperf-otlp.pc" /usr/include/zrperf/export/otlp/OtlpExporter.h \
           /usr/include/zrperf/OtlpExporter.h; do
    grep -qx "$f" <<<"$dev_files" || die "libzrperf-dev has no $f"
  done
fi

passed=$((passed + 1))
step "dependencies resolved by apt"
apt-get install --simulate --no-install-recommends -o Debug::NoLocking=1 "${debs[@]}" \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; die "apt cannot resolve the dependencies"; }

passed=$((passed + 1))
step "unpacked into an empty directory: consumer builds"
dest="$work/root"
mkdir "$dest"
for deb in "${debs[@]}"; do dpkg-deb --extract "$deb" "$dest"; done
libdir="$dest/usr/lib/$multiarch"
# No zrperf on the machine itself that the builds below could find instead.
if [ -e /usr/include/zrperf ] || ls /usr/lib/*/cmake/zrperf >/dev/null 2>&1; then
  die "zrperf is installed on this machine (remove it first)"
fi
cmake -S tests/consumer -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$dest/usr" \
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/cfg.log" ||
  { cat "$work/cfg.log" >&2; die "consumer configure failed"; }
grep -qx "zrperf_DIR:PATH=$libdir/cmake/zrperf" "$work/cmake-build/CMakeCache.txt" ||
  die "find_package(zrperf) did not find the unpacked package: $(grep zrperf_DIR "$work/cmake-build/CMakeCache.txt")"
cmake --build "$work/cmake-build" >"$work/build.log" || { cat "$work/build.log" >&2; die "consumer build failed"; }
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer"
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer-prometheus"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --variable=libdir zrperf)" -ef "$libdir" ] || die "zrperf.pc points elsewhere"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-pc" tests/consumer/main.cpp $(pkg-config --cflags --libs zrperf)
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-prometheus-pc" tests/consumer/prometheus.cpp \
  $(pkg-config --cflags --libs zrperf-prometheus)
LD_LIBRARY_PATH="$libdir" "$work/consumer-prometheus-pc"
if [ -n "${deb_of[libzrperf-otlp$major]:-}" ]; then
  LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer-otlp"
  # shellcheck disable=SC2046
  g++ -std=c++17 -o "$work/consumer-otlp-pc" tests/consumer/otlp.cpp \
    $(pkg-config --cflags --libs zrperf-otlp)
  LD_LIBRARY_PATH="$libdir" "$work/consumer-otlp-pc"
fi
unset PKG_CONFIG_PATH
LD_LIBRARY_PATH="$libdir" "$dest/usr/bin/zrperf-demo" --seconds 1 --threads 2 \
  --targets "$dest/usr/share/doc/zrperf-tools/examples/targets.csv" --state-dir "$work/state" \
  >"$work/demo.out" 2>"$work/demo.err" || { cat "$work/demo.err" >&2; die "the unpacked demo failed"; }

passed=$((passed + 1))
step "installed with dpkg -i, removed, purged"
exec 8>/tmp/zrperf-deb-test.lock
flock 8
for p in "${expected[@]}"; do
  if grep -q "installed" <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)"; then
    die "$p is installed already (dpkg --purge it first)"
  fi
done
installed=("${expected[@]}")
dpkg_run --install "${debs[@]}"
declare -A owned
for p in "${expected[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p")" = "install ok installed" ] || die "$p did not install"
  # Files and links only: directories such as /usr/lib/<multiarch> are shared.
  owned[$p]=$(dpkg -L "$p" | while read -r f; do
                if [ -L "$f" ] || [ ! -d "$f" ]; then echo "$f"; fi
              done)
done
grep -qF "libzrperf.so.$major (" <<<"$(ldconfig -p)" || die "libzrperf.so.$major is not in ldconfig's cache"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-system" tests/consumer/main.cpp $(pkg-config --cflags --libs zrperf)
"$work/consumer-system"

# gone <package>: none of its files is left.
gone() {
  local f left=""
  while read -r f; do
    if [ -n "$f" ] && { [ -e "$f" ] || [ -L "$f" ]; }; then left="$left $f"; fi
  done <<<"${owned[$1]}"
  [ -z "$left" ] || die "files of $1 left behind:$left"
}
dpkg_run --remove zrperf-tools libzrperf-dev "${runtime[@]:2}"
dpkg_run --remove "libzrperf$major"
gone "libzrperf$major"
gone zrperf-tools
gone libzrperf-dev
for p in "${runtime[@]:2}"; do gone "$p"; done
[ ! -e "/usr/share/doc/libzrperf$major" ] || die "/usr/share/doc/libzrperf$major is left"
if grep -qF "libzrperf.so.$major (" <<<"$(ldconfig -p)"; then
  die "libzrperf.so.$major is still in ldconfig's cache after its removal"
fi
dpkg_run --purge "${expected[@]}"
installed=()
for p in "${expected[@]}"; do
  gone "$p"
  if grep -q "installed\|config-files" <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)"; then
    die "$p is still known to dpkg after --purge"
  fi
done
for d in /usr/include/zrperf "/usr/lib/$multiarch/cmake/zrperf" /usr/share/doc/zrperf-tools; do
  [ ! -e "$d" ] || die "$d is left after --purge"
done
passed=$((passed + 1))

if [ -n "$ppc64_dir" ]; then
  step "packages for ppc64"
  mapfile -t pdebs < <(bash scripts/deb.sh --ppc64 --build-dir "$ppc64_dir")
  [ ${#pdebs[@]} -eq ${#debs[@]} ] || die "${#pdebs[@]} ppc64 packages, ${#debs[@]} for the host"
  pmultiarch=$(dpkg-architecture -appc64 -qDEB_HOST_MULTIARCH 2>/dev/null)
  for deb in "${pdebs[@]}"; do
    p=$(field "$deb" Package)
    hdeb=${deb_of[$p]:-}
    [ -n "$hdeb" ] || die "ppc64 package $p has no host counterpart"
    [ "$(field "$deb" Architecture)" = ppc64 ] || die "$p: Architecture: $(field "$deb" Architecture)"
    for f in Version Section Multi-Arch; do
      [ "$(field "$deb" $f)" = "$(field "$hdeb" $f)" ] || die "$p: $f differs from the host package's"
    done
    # The same files, in the target's multiarch directory.
    diff <(files "$hdeb" | sed "s|/$multiarch/|/$pmultiarch/|") <(files "$deb") ||
      die "$p: files differ from the host package's"
    # Dependencies: Debian's package names (never the host's cross packages), and for
    # everything but libzrperf-dev libc6 and libstdc++6 as for the host.
    deps=$(field "$deb" Depends)
    if grep -q -- "-cross\|$arch" <<<"$deps"; then die "$p: Depends: $deps"; fi
    hnames=$(field "$hdeb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort)
    pnames=$(tr ',' '\n' <<<"$deps" | sed 's/^ *//; s/ .*//' | sort)
    if [ "$p" != libzrperf-dev ]; then
      for dep in libc6 libstdc++6; do
        grep -qxF "$dep" <<<"$pnames" || die "$p: no dependency on $dep: $deps"
      done
    fi
    [ "$hnames" = "$pnames" ] ||
      die "$p: depends on $(tr '\n' ' ' <<<"$pnames"), the host package on $(tr '\n' ' ' <<<"$hnames")"
    mkdir -p "$work/ppc64-root"
    dpkg-deb --extract "$deb" "$work/ppc64-root"
  done
  while IFS= read -r -d '' f; do
    desc=$(file -L "$f")
    [[ $desc == *"ELF 64-bit MSB"*PowerPC* ]] || die "$f is not big-endian PowerPC: $desc"
  done < <(find "$work/ppc64-root" -type f \( -name '*.so.*' -o -path '*/bin/*' \) -print0)
  passed=$((passed + 1))
  step "lintian (ppc64)"
  lint "${pdebs[@]}"
  passed=$((passed + 1))

  step "consumer under qemu-ppc64 against the unpacked ppc64 packages"
  deps="${ZRPERF_PPC64_DEPS:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/zrperf/ppc64-deps}"
  plib="$work/ppc64-root/usr/lib/$pmultiarch"
  # pkg-config sees only the unpacked target files; Boost's headers and the
  # target's other libraries come from the deps prefix, as in the cross build.
  export PKG_CONFIG_LIBDIR="$plib/pkgconfig:$deps/lib/pkgconfig" PKG_CONFIG_PATH=""
  # shellcheck disable=SC2046
  powerpc64-linux-gnu-g++ -std=c++17 -o "$work/consumer-ppc64" tests/consumer/main.cpp \
    -I"$deps/include" $(pkg-config --cflags --libs zrperf) -Wl,-rpath-link,"$deps/lib"
  # shellcheck disable=SC2046
  powerpc64-linux-gnu-g++ -std=c++17 -o "$work/consumer-prometheus-ppc64" \
    tests/consumer/prometheus.cpp -I"$deps/include" $(pkg-config --cflags --libs zrperf-prometheus) \
    -Wl,-rpath-link,"$deps/lib"
  unset PKG_CONFIG_LIBDIR PKG_CONFIG_PATH
  bash scripts/run-ppc64.sh --libs "$plib:$deps/lib" "$work/consumer-ppc64"
  bash scripts/run-ppc64.sh --libs "$plib:$deps/lib" "$work/consumer-prometheus-ppc64"
  bash scripts/run-ppc64.sh --libs "$plib:$deps/lib" "$work/ppc64-root/usr/bin/zrperf-demo" \
    --seconds 1 --threads 2 --state-dir "$work/state-ppc64" >"$work/demo-ppc64.out" 2>&1 ||
    { cat "$work/demo-ppc64.out" >&2; die "the ppc64 demo failed under qemu"; }
  passed=$((passed + 1))
fi
echo "deb-test: $passed passed, 0 failed"
