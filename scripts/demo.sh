#!/usr/bin/env bash
# Installs the Debian packages that are missing, builds the demo host
# zrperf-demo (and only what it needs) in build/, and runs it. Every argument
# goes to zrperf-demo (try --help); relative paths in them are taken from the
# directory the script is started in.
#
# Usage: scripts/demo.sh [zrperf-demo option...]   (as root, or with sudo available)
#   ZRPERF_BUILD_DIR=DIR builds in DIR instead of build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${ZRPERF_BUILD_DIR:-$root/build}

bash "$root/scripts/deps.sh"

# The same configuration as scripts/test.sh, so the two share build/.
mkdir -p "$build_dir"
log="$build_dir/demo-build.log"
echo "demo: building zrperf-demo in $build_dir (log: $log)"
{
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRPERF_WERROR=ON \
    -DZRPERF_SANITIZE= &&
    cmake --build "$build_dir" --target zrperf-demo -j "$(nproc)"
} >"$log" 2>&1 || {
  tail -n 40 "$log" >&2
  echo "demo: the build failed; the whole log is in $log" >&2
  exit 1
}

exec "$build_dir/examples/zrperf-demo" "$@"
