#!/usr/bin/env bash
# tools/package.sh [OUT_DIR]: build the Debian binary packages from a clean
# copy of the committed tree and check them with lintian.
# The packages land in OUT_DIR (default ./out/packages).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/out/packages}
bash "$top/tools/deps.sh"

# dpkg-buildpackage writes beside the source folder: work in a scratch copy
# of HEAD so that neither the tree nor its parent collect build files.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git -C "$top" archive --format=tar --prefix=src/ HEAD | tar -x -C "$work"
(cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) || {
  tail -n 60 "$work/build.log" >&2
  echo "package: dpkg-buildpackage failed" >&2
  exit 1
}
rm -rf "$out"
mkdir -p "$out"
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
ls -1 "$out"

# Errors and warnings fail the run; the informational tags are listed.
lintian --fail-on error,warning --allow-root --display-info "$out"/*.deb
echo "package: lintian reports no errors"
