#!/usr/bin/env bash
# A CUPS scheduler of the tests' own: its configuration, state and socket all
# live in one folder, so it never touches the machine's own scheduler.
#
#   private-cupsd.sh start DIR   start it; prints the socket to aim CUPS_SERVER at
#   private-cupsd.sh stop DIR    stop it and wait until it is gone
#
# With PRIVATE_CUPSD_DENY=1 it refuses every request, as a locked-down
# scheduler does. With PRIVATE_CUPSD_PORT=N it also listens on 127.0.0.1:N,
# where it speaks TLS too, with a certificate it makes itself.
#
# With PRIVATE_CUPSD_REMOTE=1 (root only) it runs in a network namespace of
# its own, listening there on 198.51.100.1:631 too, an address that exists
# in that namespace alone: clients there are not on loopback, so it demands
# TLS of them as of any across a network (a plain request is refused with
# 426 Upgrade Required) and shows them its queues, all shared. It listens
# on [fe80::1%v0]:8631 too, a link-local address of an interface that
# exists there alone (one end of a veth pair), where one can be made:
# DIR/link-local says it was. Programs run
# there through `nsenter --net=/proc/PID/ns/net`, PID in DIR/cupsd.pid.
#
# It never outlives the process that started it (PRIVATE_CUPSD_OWNER, by
# default this script's parent): should that end without stopping it,
# killed or aborted, the scheduler is stopped and DIR removed.
set -eu

command=${1:?usage: private-cupsd.sh start|stop DIR}
dir=${2:?usage: private-cupsd.sh start|stop DIR}
cupsd=$(command -v cupsd || echo /usr/sbin/cupsd)
here=$(cd "$(dirname "$0")" && pwd)

start() {
  mkdir -p "$dir"/{spool,cache,state,log,tmp,ppd}
  remote=${PRIVATE_CUPSD_REMOTE:-0} namespace=()
  # cupsd makes its own certificate only where its keychain folder exists.
  [ -z "${PRIVATE_CUPSD_PORT:-}" ] && [ "$remote" = 0 ] || mkdir -p "$dir/ssl"
  [ "$remote" = 0 ] ||
    namespace=(unshare --net sh -c "$(cat <<'SETUP'
ip link set lo up && ip address add 198.51.100.1/32 dev lo || exit 1
{ ip link add v0 type veth peer name v1 && ip link set v0 up && ip link set v1 up &&
  ip -6 address add fe80::1/64 dev v0 nodad && : > "$0/link-local"; } 2>/dev/null
exec "$@"
SETUP
)" "$dir")
  cat > "$dir/cupsd.conf" <<CONF
Listen $dir/cups.sock
$( [ -n "${PRIVATE_CUPSD_PORT:-}" ] && echo "Listen 127.0.0.1:$PRIVATE_CUPSD_PORT" )
$( [ "$remote" = 1 ] && printf 'Listen 198.51.100.1:631\nListen [fe80::1%%v0]:8631\n' )
LogLevel warn
MaxLogSize 0
Browsing No
DefaultShared $( [ "$remote" = 1 ] && echo Yes || echo No )
WebInterface No
<Location />
  Order allow,deny
  Allow all
$( [ "${PRIVATE_CUPSD_DENY:-0}" = 1 ] && printf "  AuthType Basic\n  Require user nobody-at-all\n" )
$( [ "$remote" = 1 ] && echo "  Encryption Required" )
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
  cat > "$dir/cups-files.conf" <<CONF
ServerRoot $dir
ServerKeychain $dir/ssl
RequestRoot $dir/spool
CacheDir $dir/cache
StateDir $dir/state
TempDir $dir/tmp
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
ServerBin /usr/lib/cups
DataDir /usr/share/cups
FileDevice Yes
SystemGroup root
CONF
  setsid "${namespace[@]}" "$cupsd" -f -c "$dir/cupsd.conf" -s "$dir/cups-files.conf" </dev/null >"$dir/log/stdout" 2>&1 &
  echo $! > "$dir/cupsd.pid"
  setsid "$here/when-gone.sh" "${PRIVATE_CUPSD_OWNER:-$PPID}" "$dir" "$here/private-cupsd.sh" stop "$dir" \
    </dev/null >/dev/null 2>&1 &
  # lpstat -r exits 0 either way; only its words tell that cupsd listens. A
  # busy machine may take a while: two minutes and more.
  for _ in $(seq 1200); do
    if [ "$(CUPS_SERVER="$dir/cups.sock" LC_ALL=C lpstat -r 2>/dev/null)" = "scheduler is running" ]; then
      echo "$dir/cups.sock"
      return 0
    fi
    kill -0 "$(cat "$dir/cupsd.pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "private-cupsd: the scheduler did not start; its log says:" >&2
  cat "$dir/log/error_log" "$dir/log/stdout" >&2 2>/dev/null || true
  # Whoever asked takes it as not started, and never stops it.
  stop
  return 1
}

stop() {
  [ -f "$dir/cupsd.pid" ] || return 0
  pid=$(cat "$dir/cupsd.pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$dir/cupsd.pid"; return 0; }
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$dir/cupsd.pid"
}

case "$command" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: private-cupsd.sh start|stop DIR" >&2; exit 2 ;;
esac
