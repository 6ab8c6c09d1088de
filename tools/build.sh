#!/usr/bin/env bash
# tools/build.sh [BUILD_DIR] [extra cmake args...]: configure (once) and build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build}
shift || true
bash "$top/tools/deps.sh"
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$top" -B "$dir" -G Ninja -DARBOR_WERROR=$werror "$@"
fi
cmake --build "$dir" -j "$(nproc)"
