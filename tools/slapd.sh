#!/usr/bin/env bash
# A private slapd for tests and the demo: its own configuration folder, data
# folder and port on 127.0.0.1, no root needed. The syncprov overlay keeps the
# suffix's contextCSN, which the directory's LDAP store watches for changes.
#
#   tools/slapd.sh start DIR PORT [SUFFIX]   (SUFFIX defaults to dc=arbor)
#   tools/slapd.sh stop DIR
#
# start leaves in DIR: config/ (cn=config), data/ (the mdb database),
# admin.pw (the root DN's password, mode 0600), slapd.pid, slapd.log and
# env (URL, SUFFIX, BIND_DN, BIND_PW_FILE as shell assignments). The suffix is
# left empty: creating the tree is the directory's job.
#
# A replicated pair (multi-provider, "mirror"): two slapd, each with its own
# folder (DIR/1, DIR/2), port and serverID, replicating the suffix both ways
# (syncprov, and syncrepl refreshAndPersist from the other, retried every
# second), with one root DN and password:
#
#   tools/slapd.sh mirror DIR PORT1 PORT2 [SUFFIX]
#   tools/slapd.sh stop DIR/1                (one of them, as above)
#   tools/slapd.sh resume DIR/1              (again, on what it kept; a
#                                             stopped single server too)
#   tools/slapd.sh mirror-stop DIR
#
# mirror leaves DIR/env with URL (both, space-separated, quoted), URL1, URL2, SUFFIX,
# BIND_DN, BIND_PW_FILE.
set -euo pipefail

SLAPD=${SLAPD:-/usr/sbin/slapd}
MODULES=${SLAPD_MODULES:-/usr/lib/ldap}
SCHEMA=${SLAPD_SCHEMA:-/etc/ldap/schema}
# The directory's fixed schema; ARBOR_LDAP_SCHEMA= (empty) leaves it out.
ARBOR_SCHEMA=${ARBOR_LDAP_SCHEMA-$(cd "$(dirname "$0")/.." && pwd)/platform/lib/pdksa/ldap/arbor.ldif}

die() {
  echo "slapd.sh: $*" >&2
  exit 1
}

usage() {
  die "usage: $0 start DIR PORT [SUFFIX] | stop DIR"
}

# The LDIF of cn=config: modules, core schema, the config database (managed
# by this user through ldapi) and one mdb database with syncprov.
config_ldif() {
  local dir=$1 suffix=$2 rootpw=$3
  cat <<EOF
dn: cn=config
objectClass: olcGlobal
cn: config
olcPidFile: $dir/slapd.pid
olcArgsFile: $dir/slapd.args

dn: cn=module{0},cn=config
objectClass: olcModuleList
cn: module{0}
olcModulePath: $MODULES
olcModuleLoad: back_mdb
olcModuleLoad: syncprov

dn: cn=schema,cn=config
objectClass: olcSchemaConfig
cn: schema

include: file://$SCHEMA/core.ldif
$(arbor_schema_include)

dn: olcDatabase={-1}frontend,cn=config
objectClass: olcDatabaseConfig
objectClass: olcFrontendConfig
olcDatabase: {-1}frontend
olcSizeLimit: 5000

dn: olcDatabase={0}config,cn=config
objectClass: olcDatabaseConfig
olcDatabase: {0}config
olcAccess: {0}to * by dn.exact=gidNumber=$(id -g)+uidNumber=$(id -u),cn=peercred,cn=external,cn=auth manage by * none

dn: olcDatabase={1}mdb,cn=config
objectClass: olcDatabaseConfig
objectClass: olcMdbConfig
olcDatabase: {1}mdb
olcSuffix: $suffix
olcDbDirectory: $dir/data
olcDbMaxSize: 1073741824
olcRootDN: cn=admin,$suffix
olcRootPW: $rootpw
olcDbIndex: objectClass eq
olcDbIndex: entryCSN eq
olcDbIndex: entryUUID eq$(arbor_indexes)
olcAccess: {0}to * by * none

dn: olcOverlay={0}syncprov,olcDatabase={1}mdb,cn=config
objectClass: olcOverlayConfig
objectClass: olcSyncProvConfig
olcOverlay: {0}syncprov
olcSpCheckpoint: 100 10
EOF
}

# The directory's fixed schema and the indexes its look-ups use.
arbor_schema_include() {
  [ -z "$ARBOR_SCHEMA" ] || printf '\ninclude: file://%s\n' "$ARBOR_SCHEMA"
}
arbor_indexes() {
  [ -z "$ARBOR_SCHEMA" ] || printf '\nolcDbIndex: %s eq' arborId arborRdn arborRef arborHas arborOc
}

# ldapi:// URL of the socket in DIR, if the path fits a socket address.
ldapi_url() {
  local sock=$1/ldapi
  ((${#sock} < 100)) || return 0
  printf 'ldapi://%s' "$(printf '%s' "$sock" | sed 's|%|%25|g; s|/|%2F|g; s|,|%2C|g')"
}

wait_ready() {
  local url=$1 pid=$2 i
  for ((i = 0; i < 200; i++)); do
    if ldapsearch -x -H "$url" -o nettimeout=1 -s base -b '' namingContexts >/dev/null 2>&1; then
      return 0
    fi
    # A slapd that exited (its port taken, say) will not answer: say so now.
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# DIR/env: the URL lines given, then what every server of DIR shares; shown.
write_env() {
  local dir=$1 suffix=$2
  shift 2
  {
    printf '%s\n' "$@"
    printf 'SUFFIX=%s\nBIND_DN=cn=admin,%s\nBIND_PW_FILE=%s/admin.pw\n' "$suffix" "$suffix" "$dir"
  } >"$dir/env"
  cat "$dir/env"
}

start() {
  local dir=$1 port=$2 suffix=${3:-dc=arbor}
  if ! [[ $port =~ ^[0-9]+$ ]] || ((port < 1 || port > 65535)); then die "bad port: $port"; fi
  [[ $suffix =~ ^[A-Za-z0-9=,.-]+$ ]] || die "bad suffix: $suffix"
  [ -x "$SLAPD" ] || die "$SLAPD missing (tools/deps.sh installs slapd)"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  [ ! -e "$dir/slapd.pid" ] || die "$dir/slapd.pid exists: stop it first"
  rm -rf "$dir/config" "$dir/data"
  mkdir -m 0700 "$dir/config" "$dir/data"
  (umask 077 && head -c 18 /dev/urandom | base64 | tr -d '\n/+=' >"$dir/admin.pw")
  local rootpw
  rootpw=$(slappasswd -T "$dir/admin.pw")
  config_ldif "$dir" "$suffix" "$rootpw" >"$dir/config.ldif"
  slapadd -n 0 -F "$dir/config" -l "$dir/config.ldif" >"$dir/slapd.log" 2>&1 ||
    die "slapadd failed: $(cat "$dir/slapd.log")"
  local url="ldap://127.0.0.1:$port/"
  echo "$url $(ldapi_url "$dir")" >"$dir/urls"
  launch "$dir"
  write_env "$dir" "$suffix" "URL=$url"
}

stop() {
  local dir=$1 pid i
  [ -f "$dir/slapd.pid" ] || return 0
  pid=$(cat "$dir/slapd.pid")
  [[ $pid =~ ^[0-9]+$ ]] || die "bad pid file $dir/slapd.pid"
  # Only a slapd started here: never a recycled pid of something else.
  if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "-F $dir/config"; then
    kill "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/slapd.pid"
}

# ---- the replicated pair ----

# One server of the pair in dir: the single server's configuration, then
# serverID, syncrepl from the other and multi-provider added offline.
mirror_member() {
  local dir=$1 port=$2 other=$3 sid=$4 suffix=$5 pwfile=$6 rootpw db
  mkdir -p "$dir"
  rm -rf "$dir/config" "$dir/data"
  mkdir -m 0700 "$dir/config" "$dir/data"
  rootpw=$(slappasswd -T "$pwfile")
  config_ldif "$dir" "$suffix" "$rootpw" >"$dir/config.ldif"
  slapadd -n 0 -F "$dir/config" -l "$dir/config.ldif" >"$dir/slapd.log" 2>&1 ||
    die "slapadd failed: $(cat "$dir/slapd.log")"
  db=$(sed -n 's/^dn: \(olcDatabase={[0-9]*}mdb,cn=config\)$/\1/p' "$dir/config.ldif" | head -1)
  [ -n "$db" ] || die "no mdb database in $dir/config.ldif"
  (
    umask 077
    cat >"$dir/replication.ldif" <<EOF
dn: cn=config
changetype: modify
add: olcServerID
olcServerID: $sid

dn: $db
changetype: modify
add: olcSyncrepl
olcSyncrepl: rid=00$sid provider=ldap://127.0.0.1:$other/ bindmethod=simple binddn="cn=admin,$suffix" credentials="$(cat "$pwfile")" searchbase="$suffix" type=refreshAndPersist retry="1 +" timeout=2 network-timeout=2
-
add: olcMultiProvider
olcMultiProvider: TRUE
EOF
  )
  slapmodify -n 0 -F "$dir/config" -l "$dir/replication.ldif" >>"$dir/slapd.log" 2>&1 ||
    die "slapmodify failed: $(tail -5 "$dir/slapd.log")"
  rm -f "$dir/replication.ldif"
  echo "ldap://127.0.0.1:$port/ $(ldapi_url "$dir")" >"$dir/urls"
  launch "$dir"
}

# Starts slapd on DIR's configuration and data and the URLs in DIR/urls,
# and waits until it answers.
launch() {
  local dir=$1 urls url pid
  urls=$(cat "$dir/urls")
  url=${urls%% *}
  "$SLAPD" -F "$dir/config" -h "$urls" -d 0 >>"$dir/slapd.log" 2>&1 &
  pid=$!
  if ! wait_ready "$url" "$pid"; then
    local gone=""
    kill -0 "$pid" 2>/dev/null || gone=" (it exited)"
    kill "$pid" 2>/dev/null || true
    rm -f "$dir/slapd.pid"
    die "slapd did not answer on $url$gone: $(tail -5 "$dir/slapd.log")"
  fi
  echo "$pid" >"$dir/slapd.pid"
}

mirror() {
  local dir=$1 p1=$2 p2=$3 suffix=${4:-dc=arbor} port
  for port in "$p1" "$p2"; do
    if ! [[ $port =~ ^[0-9]+$ ]] || ((port < 1 || port > 65535)); then die "bad port: $port"; fi
  done
  ((p1 != p2)) || die "the two servers need two ports"
  [[ $suffix =~ ^[A-Za-z0-9=,.-]+$ ]] || die "bad suffix: $suffix"
  [ -x "$SLAPD" ] || die "$SLAPD missing (tools/deps.sh installs slapd)"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ -e "$dir/1/slapd.pid" ] || [ -e "$dir/2/slapd.pid" ]; then
    die "$dir runs a pair: stop it first"
  fi
  (umask 077 && head -c 18 /dev/urandom | base64 | tr -d '\n/+=' >"$dir/admin.pw")
  mirror_member "$dir/1" "$p1" "$p2" 1 "$suffix" "$dir/admin.pw"
  # The first one must not outlive a failed second one.
  (mirror_member "$dir/2" "$p2" "$p1" 2 "$suffix" "$dir/admin.pw") || {
    stop "$dir/1"
    exit 1
  }
  write_env "$dir" "$suffix" "URL=\"ldap://127.0.0.1:$p1/ ldap://127.0.0.1:$p2/\"" \
    "URL1=ldap://127.0.0.1:$p1/" "URL2=ldap://127.0.0.1:$p2/"
}

# A pair member stopped (or killed) before: again, with what it kept.
resume() {
  local dir=$1 pid
  [ -d "$dir" ] || die "no such folder: $dir"
  dir=$(cd "$dir" && pwd)
  if [ -f "$dir/slapd.pid" ]; then
    pid=$(cat "$dir/slapd.pid")
    if [[ $pid =~ ^[0-9]+$ ]] && [ -r "/proc/$pid/cmdline" ] &&
      tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "-F $dir/config"; then
      die "$dir runs already (pid $pid)"
    fi
    rm -f "$dir/slapd.pid" # left by a killed server
  fi
  [ -f "$dir/urls" ] || die "$dir holds no server"
  launch "$dir"
}

mirror_stop() {
  stop "$1/1"
  stop "$1/2"
}

case ${1:-} in
start)
  (($# == 3 || $# == 4)) || usage
  start "$2" "$3" "${4:-}"
  ;;
stop)
  (($# == 2)) || usage
  stop "$2"
  ;;
mirror)
  (($# == 4 || $# == 5)) || usage
  mirror "$2" "$3" "$4" "${5:-}"
  ;;
resume)
  (($# == 2)) || usage
  resume "$2"
  ;;
mirror-stop)
  (($# == 2)) || usage
  mirror_stop "$2"
  ;;
*) usage ;;
esac
