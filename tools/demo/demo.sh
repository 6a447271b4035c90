#!/usr/bin/env bash
# The driver's main job, shown on a simulated site inside private network namespaces: a site
# device (the independent BACnet peer) with analog, binary and multi-state objects, trend logs
# and an alarm; the driver server; and the reference host running a short session.
# `demo.sh site` instead keeps the site and the server (on the default socket, so that
# `zelbacnet` finds it without options) up until Ctrl-C, for commands of one's own.
# Needs root (network namespaces). Nothing leaves the namespaces.
set -euo pipefail
cd "$(dirname "$0")/../.."
MODE=${1:-demo}
BIN=${ZB_BUILD_DIR:-build}/bin
P=zbdemo$$
LOGDIR=${ZB_DEMO_LOGS:-/tmp/zelbacnet-demo}
LOGS=$LOGDIR/$MODE
SITE_PID= SERVER_PID=
if [ "$MODE" = site ]; then SOCK=; else SOCK=/tmp/$P.sock; fi

cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  [ -n "$SITE_PID" ] && kill "$SITE_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  for n in drv site hub; do ip netns del "$P$n" 2>/dev/null || true; done
  [ "$MODE" = site ] || rm -f "$SOCK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$LOGDIR"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

if ! ip netns add "${P}hub" 2>/dev/null; then
  echo "The demo needs network namespaces (run it as root)." >&2
  exit 1
fi
# Two hosts on one bridge: the driver at 10.47.9.1, the site device at 10.47.9.2.
ip netns add "${P}drv"
ip netns add "${P}site"
ip -n "${P}hub" link add br0 type bridge
ip -n "${P}hub" link set br0 up
i=1
for h in drv site; do
  ip -n "${P}hub" link add "v$h" type veth peer name eth0 netns "$P$h"
  ip -n "${P}hub" link set "v$h" master br0 up
  ip -n "$P$h" link set lo up
  ip -n "$P$h" addr add "10.47.9.$i/24" broadcast 10.47.9.255 dev eth0
  ip -n "$P$h" link set eth0 up
  ip -n "$P$h" route add default dev eth0
  i=$((i + 1))
done

say "Site: BACnet device 1001 \"Boiler House\" at 10.47.9.2 (independent peer, tests/peer/site.js)"
echo "   AV1 Boiler Temp, AI2 Outside Air, BV3 Pump, BI4 Door, MSV5 Mode, trend logs TL7/TL8;"
echo "   writing AV1 above 80 raises an alarm that needs an acknowledgement."
# The device runs as long as its stdin (fd 3 of this script) stays open.
exec 3> >(exec ip netns exec "${P}site" node tests/peer/site.js 0.0.0.0 47808 255.255.255.255 \
  1001 '{"alarmAbove":80,"name":"Boiler House"}' >"$LOGS-site.log" 2>&1)
SITE_PID=$!
for _ in $(seq 100); do grep -q listening "$LOGS-site.log" 2>/dev/null && break; sleep 0.1; done

if [ "$MODE" = site ]; then
  ip netns exec "${P}drv" "$BIN/zelbacnet-server" >"$LOGS-server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do grep -q 'listening on' "$LOGS-server.log" && break; sleep 0.1; done
  SOCK=$(grep -o 'listening on .*' "$LOGS-server.log" | cut -d' ' -f3- || true)
  if [ -z "$SOCK" ]; then
    echo "The driver server did not start:" >&2
    cat "$LOGS-server.log" >&2
    exit 1
  fi
else
  ip netns exec "${P}drv" "$BIN/zelbacnet-server" --socket "$SOCK" >"$LOGS-server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do [ -S "$SOCK" ] && break; sleep 0.1; done
fi
say "Driver server: $BIN/zelbacnet-server at 10.47.9.1, host socket $SOCK"

if [ "$MODE" = site ]; then
  REG=${XDG_CONFIG_HOME:-$HOME/.config}/zelbacnet/server.reg
  OPT=
  if [ -f "$REG" ] && ! grep -qx "SOCKET=$SOCK" "$REG"; then
    echo "   (a registration record names another socket: add --socket $SOCK to the commands)"
    OPT=" --socket $SOCK"
  fi
  cat <<EOF

Ready. In another terminal, as this user, for example:
  $BIN/zelbacnet$OPT run DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : COMMAND=SITESTATUS
  $BIN/zelbacnet$OPT run DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : COMMAND=POINTGETVALUE \\
      'POINT={Boiler}{10.47.9.2-AVAL#1}{}{}'
  $BIN/zelbacnet$OPT view
More in \`$BIN/zelbacnet --help\`. Logs: $LOGS-site.log, $LOGS-server.log.
Ctrl-C ends the site and the server.
EOF
  wait "$SERVER_PID" || true
  SERVER_PID=
  exit 0
fi

HOST=("$BIN/zelbacnet" --socket "$SOCK" --no-start --timeout 30)
SITE=(DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 IP3=1000)
AV1='10.47.9.2-AVAL#1'

say "Host session 1: connect, site clock and status, the object list, points, a write"
"${HOST[@]}" run --keep "${SITE[@]}" \
  : COMMAND=SITETIME \
  : COMMAND=SITESTATUS \
  : COMMAND=GETDATA DRIVERCOMMAND=GETPOINTSLIST \
  : immediate:SENDPOINTSLIST "POINT0={Boiler}{$AV1}{}{}" 'POINT1={Pump}{10.47.9.2-BVAL#3}{}{}' \
      'POINT2={Mode}{10.47.9.2-MSV#5}{}{}' 'POINT3={Outside}{10.47.9.2-AIN#2}{}{}' \
  : COMMAND=POINTGETVALUE "POINT={Boiler}{$AV1}{}{}" \
  : COMMAND=POINTMODIFY "POINT={Boiler}{$AV1}{VALUE=92.5}{}" \
  : COMMAND=POINTGETDISABLED "POINT={Boiler}{$AV1}{}{}" \
  | tee "$LOGS-run1.log"

say "The background scan keeps the point list fresh (waiting 3 s)"
sleep 3

say "Host session 2: cached point values, a trend log, the alarm the write raised"
"${HOST[@]}" run --keep "${SITE[@]}" \
  : COMMAND=GETPOINTSLIST \
  : COMMAND=GETTRENDDATA 'TREND={Boiler Log}{}{10.47.9.2-TRN#7}' \
  : COMMAND=GETALARMS \
  | tee "$LOGS-run2.log"

# The trend block: 16-octet records, value and time stamp as little-endian doubles.
if command -v python3 >/dev/null; then
  python3 - "$LOGS-run2.log" <<'PY'
import re, struct, sys, datetime
m = re.search(r'"octets":"([0-9a-fA-F]*)"', open(sys.argv[1]).read())
if m:
    data = bytes.fromhex(m.group(1))
    n = len(data) // 16
    print(f"   trend block: {len(data)} octets = {n} records; the first three:")
    for i in range(min(3, n)):
        value, stamp = struct.unpack_from("<dd", data, 16 * i)
        when = datetime.datetime(1899, 12, 30) + datetime.timedelta(days=stamp)
        print(f"     {when:%Y-%m-%d %H:%M}  {value:g}")
PY
fi

BND=$(grep -o 'BND:[0-9A-F]*' "$LOGS-run2.log" | head -1 | cut -d: -f2 || true)
if [ -n "$BND" ]; then
  say "Host session 3: acknowledge the alarm (reference from its BND: part)"
  "${HOST[@]}" run "${SITE[@]}" : COMMAND=GETDATA DRIVERCOMMAND=ACKALARM "BND=$BND" USERNAME=demo
  sleep 0.5
  say "The site device received:"
  grep '"ackAlarm"' "$LOGS-site.log" || echo "   (no acknowledgement arrived)"
else
  echo "   (no alarm arrived)"
fi
say "Done. The site device saw $(grep -c '"read"' "$LOGS-site.log") reads and $(grep -c '"write"' "$LOGS-site.log") writes."
cat <<EOF
   Shown: a connect to the simulated site; its clock and status; its object list; a point list
   kept fresh by the background scan; point reads, a write and the out-of-service state; a
   trend log; the alarm the write raised, and its acknowledgement.
   Logs in $LOGDIR: demo-run1.log and demo-run2.log (the host sessions), demo-site.log
   (what the site device received), demo-server.log (the driver server).
   Try commands yourself: \`./run.sh site\` keeps this simulated site and the server up until
   Ctrl-C; in another terminal run e.g.
     $BIN/zelbacnet run DESCRIPTION=Plant PANELTYPE=0 SP4=10.47.9.1 : COMMAND=SITESTATUS
   (\`$BIN/zelbacnet --help\` lists the commands and explains point addresses).
EOF
