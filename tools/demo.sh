#!/usr/bin/env bash
# tools/demo.sh: the main job, step by step, on this machine.
#
# For now: create a directory tree with arborctl, look at it, and check the
# directory library's login against it with libkdx's program mode.
# Works without root and on every run: all state lives under ./out/demo
# (or $ARBOR_DEMO_DIR), reached through ARBOR_CONF and ARBOR_DIRECTORY.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${ARBOR_BUILD:-$top/build}
state=${ARBOR_DEMO_DIR:-$top/out/demo}

step() { printf '\n==> %s\n' "$*"; }
run() {
  printf '  $'
  printf ' %q' "$@"
  printf '\n'
  "$@"
}

step "Installing missing Debian packages"
bash "$top/tools/deps.sh"

step "Building arborctl and the directory library's program mode in $build"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$top" -B "$build" -G Ninja >/dev/null
fi
targets=(arborctl)
if grep -q 'kdxcheck' "$top/kdx/CMakeLists.txt" 2>/dev/null; then targets+=(kdxcheck); fi
cmake --build "$build" --target "${targets[@]}" -j 2
arborctl=$build/platform/arborctl/arborctl
kdx=$build/kdx/kdx

step "Starting from a clean state in $state"
rm -rf "$state"
mkdir -p "$state"
chmod 700 "$state"
export ARBOR_CONF=$state/arbor.conf
export ARBOR_DIRECTORY=$state/directory.db
echo "  ARBOR_CONF=$ARBOR_CONF"
echo "  ARBOR_DIRECTORY=$ARBOR_DIRECTORY"

# Passwords travel in files, never on the command line of arborctl.
admin_pw=$state/admin.pw
user_pw=$state/alice.pw
umask 077
head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$admin_pw"
echo >>"$admin_pw"
echo "alice-$(date +%s)" >"$user_pw"

step "Creating the directory: tree DEMO, this server MAIL1 in ou=sales.o=org"
run "$arborctl" init --tree DEMO --context ou=sales.o=org --server MAIL1 \
  --address tcp:127.0.0.1:689 --password-file "$admin_pw"
echo "  configuration file:"
sed 's/^/    /' "$ARBOR_CONF"

step "Looking at it"
run "$arborctl" show MAIL1
run "$arborctl" list '\DEMO\org'

step "Adding a user with a password (e-mail addresses need the product's schema)"
run "$arborctl" adduser alice --surname Example --password-file "$user_pw"
if ! "$arborctl" adduser bob --email bob@example.org 2>&1 | sed 's/^/  /'; then :; fi
run "$arborctl" set alice 'Telephone Number' '+1 555 0100'
run "$arborctl" show alice

if [ ! -x "$kdx" ]; then
  step "The directory library's program mode is not built yet; stopping here"
  exit 0
fi

step "Checking the library's login as the administrator (program mode)"
# The program mode takes its password as an option, as its interface says;
# it reads the tree and server from the configuration file written above.
echo "  \$ $kdx -d -u:CN=Admin.O=org -p:<the administrator's password>"
if "$kdx" -d "-u:CN=Admin.O=org" "-p:$(cat "$admin_pw")"; then
  echo "  login as \\DEMO\\org\\Admin: OK"
else
  echo "  login as \\DEMO\\org\\Admin: FAILED" >&2
  exit 1
fi

step "Checking that a wrong password is refused"
if "$kdx" "-u:CN=alice.OU=sales.O=org" "-p:not-the-password" >"$state/wrong.out" 2>&1; then
  echo "  a wrong password was accepted" >&2
  exit 1
fi
sed 's/^/    /' "$state/wrong.out" | tr -d '\r' | grep -v '^ *$' | head -3
echo "  wrong password refused: OK"

step "Done. The directory stays in $state for a look:"
echo "  ARBOR_CONF=$ARBOR_CONF ARBOR_DIRECTORY=$ARBOR_DIRECTORY $arborctl show alice"
