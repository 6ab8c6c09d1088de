#!/usr/bin/env bash
# tools/test.sh [BUILD_DIR] [extra cmake args...]: build everything and run every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build}
shift || true
bash "$top/tools/build.sh" "$dir" "$@"
cd "$dir"
ctest --output-on-failure -j "$(nproc)" ${CTEST_ARGS:-}
