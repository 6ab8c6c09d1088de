#!/usr/bin/env bash
# tools/demo.sh: the main job, step by step, on this machine.
#
# Builds what is missing, makes a directory with arborctl, runs quillsetup
# through its screens (in tmux, as a person would) to extend the schema and
# configure this server, starts the REVO server stand-in revod and the
# calendar agent dayward, seeds an organizer's calendar, submits the iMIP
# messages under tools/demo/, and shows where each one went. Everything it
# starts is stopped again, and a second run starts from a clean state.
#
# Runs without root: all state lives under ./out/demo (or $ARBOR_DEMO_DIR),
# reached through ARBOR_CONF, ARBOR_DIRECTORY and REVO_PORT.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${ARBOR_BUILD:-$top/build}
state=${ARBOR_DEMO_DIR:-$top/out/demo}
samples=$top/tools/demo
addr=127.0.0.1
if [ "$(id -u)" -eq 0 ]; then port=${REVO_PORT:-689}; else port=${REVO_PORT:-16890}; fi

step() { printf '\n==> %s\n' "$*"; }
note() { printf '    %s\n' "$*"; }
run() {
  printf '  $'
  printf ' %q' "$@"
  printf '\n'
  "$@"
}
indent() { sed 's/^/    /'; }

# ---- processes we start, stopped on every way out ----
revod_pid= dayward_pid= tmux_sock=
cleanup() {
  [ -n "$dayward_pid" ] && kill -KILL "$dayward_pid" 2>/dev/null || true
  [ -n "$revod_pid" ] && kill -TERM "$revod_pid" 2>/dev/null || true
  [ -n "$tmux_sock" ] && tmux -S "$tmux_sock" kill-server 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

step "Installing missing Debian packages"
bash "$top/tools/deps.sh"

# ARBOR_ROOT: run the programs installed under that root (a scratch root the
# packages were unpacked into) instead of building them.
if [ -n "${ARBOR_ROOT:-}" ]; then
  step "Using the programs installed under $ARBOR_ROOT"
  arborctl=$ARBOR_ROOT/usr/sbin/arborctl quillsetup=$ARBOR_ROOT/usr/sbin/quillsetup
  revod=$ARBOR_ROOT/usr/sbin/revod dayward=$ARBOR_ROOT/usr/sbin/dayward
  revoctl_bin=$ARBOR_ROOT/usr/bin/revoctl
  # A scratch root is not searched by the loader; installed on / they need nothing.
  libdir=$(dirname "$(find "$ARBOR_ROOT/usr/lib" -name 'libkdx.so.1' | head -n 1)")
  export LD_LIBRARY_PATH=$libdir
  note "LD_LIBRARY_PATH=$libdir"
else
  step "Building the programs in $build"
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$top" -B "$build" -G Ninja >/dev/null
  fi
  cmake --build "$build" --target arborctl kdxcheck quillsetup revod revoctl dayward -j 2 |
    tail -n 1
  arborctl=$build/platform/bin/arborctl/arborctl quillsetup=$build/setup/quillsetup
  revod=$build/platform/bin/revod/revod dayward=$build/agent/dayward
  revoctl_bin=$build/platform/bin/revod/revoctl
fi

step "Starting from a clean state in $state"
if [ -f "$state/revod.pid" ]; then kill -TERM "$(cat "$state/revod.pid")" 2>/dev/null || true; fi
if [ -f "$state/dayward.pid" ]; then kill -KILL "$(cat "$state/dayward.pid")" 2>/dev/null || true; fi
rm -rf "$state"
mkdir -p "$state"
chmod 700 "$state"
export ARBOR_CONF=$state/arbor.conf
export ARBOR_DIRECTORY=$state/directory.db
export REVO_PORT=$port
note "ARBOR_CONF=$ARBOR_CONF"
note "ARBOR_DIRECTORY=$ARBOR_DIRECTORY"
note "REVO_PORT=$REVO_PORT"

umask 077
admin_pw=$state/admin.pw
head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$admin_pw"
echo >>"$admin_pw"

step "Creating the directory: tree DEMO, this server MAIL1 in ou=sales.o=org at $addr"
run "$arborctl" init --tree DEMO --context ou=sales.o=org --server MAIL1 \
  --address "$addr" --password-file "$admin_pw"
note "configuration file:"
indent <"$ARBOR_CONF"

# ---- quillsetup, through its screens ----
tmux_sock=$state/tmux.sock
screen() { tmux -S "$tmux_sock" capture-pane -p -t qs 2>/dev/null || true; }
wait_for() { # text, seconds
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    if screen | grep -qF "$1"; then return 0; fi
    if ! tmux -S "$tmux_sock" has-session -t qs 2>/dev/null; then return 1; fi
    sleep 0.1
  done
  echo "  quillsetup did not show \"$1\"; its screen:" >&2
  screen | indent >&2
  return 1
}
wait_end() {
  local i
  for ((i = 0; i < 300; i++)); do
    tmux -S "$tmux_sock" has-session -t qs 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}
quill() { # mode, then the keys after the login
  local mode=$1
  rm -f "$state/quillsetup$mode.log"
  tmux -S "$tmux_sock" new-session -d -s qs -x 120 -y 40 \
    "ARBOR_CONF='$ARBOR_CONF' ARBOR_DIRECTORY='$ARBOR_DIRECTORY' \
     QUILLSETUP_LOG='$state/quillsetup$mode.log' '$quillsetup' $mode; sleep 1"
  wait_for "Administrator name:" 30
  tmux -S "$tmux_sock" send-keys -t qs -l 'Admin.org'
  tmux -S "$tmux_sock" send-keys -t qs Tab
  tmux -S "$tmux_sock" send-keys -t qs -l "$(cat "$admin_pw")"
  tmux -S "$tmux_sock" send-keys -t qs Enter
}

step "quillsetup -arbor: extending the schema, creating \"Internet Services\" (driven through tmux)"
note "screen: \"Administrator name:\" <- Admin.org, Tab, the password, Enter"
quill -arbor
wait_end
note "what it reported:"
grep -v '^ *$' "$state/quillsetup-arbor.log" | tail -n 6 | indent

step "quillsetup -server: configuring this server with the form's defaults"
note "screen: login as above; form \"Configuration Parameters\" <- Tab, example.com, Enter"
quill -server
wait_for "Configuration Parameters" 30
tmux -S "$tmux_sock" send-keys -t qs Tab
tmux -S "$tmux_sock" send-keys -t qs -l 'example.com'
tmux -S "$tmux_sock" send-keys -t qs Enter
wait_end
note "what it reported:"
grep -v '^ *$' "$state/quillsetup-server.log" | grep -i 'calendar\|messaging\|links' | indent
tmux -S "$tmux_sock" kill-server 2>/dev/null || true
tmux_sock=

step "Adding the users of this messaging system"
run "$arborctl" adduser bob --email bob@example.com --surname Builder </dev/null
run "$arborctl" adduser carol --email carol@example.com --surname Cooper </dev/null
note "(alice@partner.example and mallory@elsewhere.example are outside senders)"

step "Storing a fresh REVO shared secret (\"Quill:ACL\" of \"Internet Services\")"
run "$arborctl" secret

step "Starting revod, the REVO server, on $addr:$port"
"$revod" --listen "$addr" --port "$port" --store "$state/revod.db" --retry-delay 200 \
  >"$state/revod.log" 2>&1 &
revod_pid=$!
echo "$revod_pid" >"$state/revod.pid"
revoctl() { "$revoctl_bin" --server "$addr" --port "$port" "$@"; }
for i in $(seq 100); do revoctl queue >/dev/null 2>&1 && break; sleep 0.1; done
indent <"$state/revod.log"

step "Starting dayward, the calendar agent"
"$dayward" >"$state/dayward.log" 2>&1 &
dayward_pid=$!
echo "$dayward_pid" >"$state/dayward.pid"
for i in $(seq 100); do grep -q 'registered for queue 5' "$state/revod.log" && break; sleep 0.1; done
grep 'registered for queue 5' "$state/revod.log" | indent

step "Seeding bob's calendar: a daily stand-up with alice and carol, and a task for alice"
run revoctl calendar add bob@example.com "$samples/meeting.ics"
run revoctl calendar add bob@example.com "$samples/task.ics"
note "carol accepted the stand-up earlier, so it is in her calendar too:"
run revoctl calendar add carol@example.com "$samples/meeting.ics"

step "The calendars before"
note "bob@example.com:"
revoctl calendar show bob@example.com | indent
note "carol@example.com:"
revoctl calendar show carol@example.com | indent

drain() {
  for i in $(seq 200); do
    revoctl queue 2>/dev/null | grep -q '^0 entries' && return 0
    sleep 0.1
  done
  echo "  the queue did not drain" >&2
  revoctl queue | indent >&2
  return 1
}
count() { revoctl mailbox "$1" | tail -n 1 | cut -d' ' -f1; }
submit() { # file, from, to, what it is
  local file=$samples/$1 from=$2 to=$3
  step "Message ${1%%-*}: $4"
  note "$(grep -m1 '^Subject:' "$file")   ($from -> $to)"
  local before_b before_c
  before_b=$(count bob@example.com)
  before_c=$(count carol@example.com)
  run revoctl submit --from "$from" --to "$to" "$file"
  drain
  local after_b after_c
  after_b=$(count bob@example.com)
  after_c=$(count carol@example.com)
  if [ "$after_b" != "$before_b" ] || [ "$after_c" != "$before_c" ]; then
    note "-> delivered to the mailbox of $to"
  else
    note "-> applied to the calendar of $to and taken out of the delivery"
  fi
}

submit 01-alice-accepts.eml alice@partner.example bob@example.com \
  "alice accepts the stand-up (an iMIP REPLY, base64)"
revoctl calendar show bob@example.com | grep -A14 'event 20261214-standup' | grep 'alice@partner' | indent

submit 02-alice-completes-task.eml alice@partner.example bob@example.com \
  "alice has done her task (a REPLY with COMPLETED, quoted-printable)"
revoctl calendar show bob@example.com | grep -B6 'COMPLETED' | grep 'task\|completed\|COMPLETED' | indent

submit 03-bob-cancels-wednesday.eml bob@example.com carol@example.com \
  "bob cancels Wednesday's stand-up (a CANCEL of one instance)"
note "carol's instances now:"
revoctl calendar show carol@example.com | grep 'instance' | indent

submit 04-stranger-cancels.eml mallory@elsewhere.example carol@example.com \
  "a stranger tries to cancel the whole stand-up (a CANCEL, not from the organizer)"
revoctl calendar show carol@example.com | grep -q 'standup' &&
  note "carol's stand-up is still there"

submit 05-bob-invites-carol.eml bob@example.com carol@example.com \
  "bob invites carol to a design review (a REQUEST: delivered as usual)"

submit 06-alice-asks-about-lunch.eml alice@partner.example bob@example.com \
  "ordinary mail"

step "The calendars after"
note "bob@example.com:"
revoctl calendar show bob@example.com | indent
note "carol@example.com:"
revoctl calendar show carol@example.com | indent

step "The mailboxes after"
note "bob@example.com (the lunch mail; the two replies went to his calendar instead):"
revoctl mailbox bob@example.com | indent
note "carol@example.com (the stranger's cancellation and the invitation):"
revoctl mailbox carol@example.com | indent

step "Stopping dayward (SIGTERM) and revod"
kill -TERM "$dayward_pid"
wait "$dayward_pid" || true
dayward_pid=
tr -d '\r' <"$state/dayward.log" | indent
kill -TERM "$revod_pid"
wait "$revod_pid" || true
revod_pid=
rm -f "$state/revod.pid" "$state/dayward.pid"

step "Done. The directory and the store stay in $state for a look:"
echo "  ARBOR_CONF=$ARBOR_CONF ARBOR_DIRECTORY=$ARBOR_DIRECTORY $revoctl_bin --help"
