#!/usr/bin/env bash
# A private CUPS server for tests: its own config, spool and socket, and a
# raw queue that delivers to a loopback capture printer. It never touches the
# machine's own printers.
#
#   cupsenv.sh start DIR [QUEUE]   prints the CUPS_SERVER socket path
#   cupsenv.sh stop DIR
#   cupsenv.sh cupsd-stop DIR / cupsd-start DIR   (the server alone)
#   cupsenv.sh queue DIR [QUEUE]   (re)creates the queue, enabled and accepting
#
# PRESERVE_HISTORY=Yes keeps finished jobs listed, and MAX_JOBS=500 limits them,
# as a stock cupsd does. ACTIVATED=1 runs cupsd as Debian does, socket-activated:
# a stand-in for systemd owns the socket and starts `cupsd -l` on demand
# (again after a crash, and after cupsd exits when idle). LISTEN_TCP=1 also
# listens on a loopback TCP port, written to DIR/tcp.port.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=$1
dir=$2
queue=${3:-RACUN}

start_cupsd() {
  if [ -f "$dir/activated" ] && [ -f "$dir/activator.pid" ] && kill -0 "$(cat "$dir/activator.pid")" 2>/dev/null; then
    :  # the socket is there: the next client starts cupsd
  elif [ -f "$dir/activated" ]; then
    python3 "$here/socket_activator.py" "$dir/cups.sock" "$dir/cupsd.pid" -- \
      cupsd -l -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" >"$dir/log/cupsd.out" 2>&1 &
    echo $! >"$dir/activator.pid"
  else
    cupsd -f -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" >"$dir/log/cupsd.out" 2>&1 &
    echo $! >"$dir/cupsd.pid"
  fi
  for _ in $(seq 1 200); do
    if [ -S "$dir/cups.sock" ] && lpstat -h "$dir/cups.sock" -r >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  echo "cupsenv: cupsd did not come up" >&2
  cat "$dir/log/"* >&2 || true
  return 1
}

add_queue() {
  lpadmin -h "$dir/cups.sock" -p "$queue" -E -v "socket://127.0.0.1:$(cat "$dir/printer.port")" \
    -o printer-error-policy=retry-job 2>"$dir/log/lpadmin.out"
}

stop_pid() {
  local f=$1
  if [ -f "$f" ]; then
    kill "$(cat "$f")" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$(cat "$f")" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$(cat "$f")" 2>/dev/null || true
    rm -f "$f"
  fi
}

case "$cmd" in
  start)
    mkdir -p "$dir"/{etc,spool,spool/tmp,cache,state,log,jobs}
    # cupsd runs its backends as lp: every folder on the way must be open to it.
    chmod 755 "$dir" "$dir"/*
    chmod 1777 "$dir/spool/tmp"
    if [ -n "${ACTIVATED:-}" ]; then touch "$dir/activated"; fi
    tcp=""
    if [ -n "${LISTEN_TCP:-}" ]; then
      python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
        >"$dir/tcp.port"
      tcp="Listen 127.0.0.1:$(cat "$dir/tcp.port")"
    fi
    d=$dir
    while [ "$d" != "/" ]; do chmod o+x "$d" 2>/dev/null || true; d=$(dirname "$d"); done
    cat >"$dir/etc/cups-files.conf" <<CONF
ServerRoot $dir/etc
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
DataDir /usr/share/cups
ServerBin /usr/lib/cups
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
User lp
Group lp
SystemGroup root
FileDevice No
CONF
    cat >"$dir/etc/cupsd.conf" <<CONF
Listen $dir/cups.sock
$tcp
LogLevel ${CUPS_LOGLEVEL:-warn}
LogTimeFormat usecs
Browsing Off
BrowseLocalProtocols none
DefaultAuthType None
WebInterface No
MaxJobs ${MAX_JOBS:-0}
PreserveJobHistory ${PRESERVE_HISTORY:-No}
PreserveJobFiles No
JobRetryInterval 1
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
    python3 "$here/capture_printer.py" --port-file "$dir/printer.port" --out "$dir/jobs" \
      ${DROP_AFTER:+--drop-after "$DROP_AFTER"} ${PRINTER_MODE:+--mode "$PRINTER_MODE"} \
      ${PRINTER_STATUS:+--status "$PRINTER_STATUS"} ${PRINTER_ARGS:-} >"$dir/log/printer.out" 2>&1 &
    echo $! >"$dir/printer.pid"
    for _ in $(seq 1 100); do [ -f "$dir/printer.port" ] && break; sleep 0.05; done
    start_cupsd
    add_queue
    echo "$dir/cups.sock"
    ;;
  queue)
    add_queue
    cupsenable -h "$dir/cups.sock" "$queue"
    cupsaccept -h "$dir/cups.sock" "$queue"
    ;;
  cupsd-stop) stop_pid "$dir/activator.pid"; stop_pid "$dir/cupsd.pid" ;;
  cupsd-start) start_cupsd ;;
  stop)
    stop_pid "$dir/activator.pid"
    stop_pid "$dir/cupsd.pid"
    stop_pid "$dir/printer.pid"
    ;;
  *) echo "usage: $0 start|stop|cupsd-start|cupsd-stop DIR [QUEUE]" >&2; exit 2 ;;
esac
