#!/usr/bin/env bash
# Debian's real HAProxy in front of two real collectors, set up as doc/haproxy.cfg sets them
# up: reports through it are stored, and the collectors name the board (127.0.0.1), not the
# proxy (127.0.0.3); its health checks leave no line on their consoles; with one collector
# stopped every report is still stored, by the other; with both stopped, no board is told
# its report is stored. And what HAProxy makes of a refused report's reset.
# Usage: haproxy_test.sh COLLECTOR SENDER SOURCE_DIR   (as root: a network namespace of its own)
set -euo pipefail
if [ -z "${HAPROXY_TEST_NETNS:-}" ]; then
  exec unshare --net env HAPROXY_TEST_NETNS=1 bash "$0" "$@"
fi
collector=$(readlink -f "$1") send=$(readlink -f "$2") config=$3/doc/haproxy.cfg
ip link set lo up
work=$(mktemp -d)
declare -A pids=()
stop() { # NAME
  kill "${pids[$1]}" 2>/dev/null || true
  wait "${pids[$1]}" 2>/dev/null || true
  unset "pids[$1]"
}
trap 'for name in "${!pids[@]}"; do stop "$name"; done; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  tail -n 20 "$work"/*.out "$work"/*.err "$work/haproxy.log" 2>/dev/null
  exit 1
}
eventually() { # COMMAND...: polls it for up to 10 seconds
  for _ in $(seq 100); do "$@" && return 0 || sleep 0.1; done
  return 1
}

printf '[BOARD]\n' >"$work/devices"
for n in 1 2; do
  mkdir "$work/log$n"
  "$collector" -p "900$n" -l 127.0.0.1 -d "$work/log$n" --devices="$work/devices" \
    --proxy-from=127.0.0.3 >"$work/collector$n.out" 2>"$work/collector$n.err" &
  pids[collector$n]=$!
done
# The documented configuration on loopback: HAProxy connects from 127.0.0.3, and checks
# every 200 ms; its log goes to standard error.
sed -e 's|bind :999|bind 127.0.0.1:9000|' -e 's|inter 2s|inter 200ms|' \
  -e 's|192.0.2.1\([12]\):999|127.0.0.1:900\1 source 127.0.0.3|' \
  -e 's|log /dev/log local0|log stderr format raw local0|' "$config" >"$work/haproxy.cfg"
for expected in 'bind 127.0.0.1:9000' 'inter 200ms' '9001 source' '9002 source' 'log stderr'; do
  grep -q "$expected" "$work/haproxy.cfg" || fail "doc/haproxy.cfg has changed: no $expected"
done
haproxy -f "$work/haproxy.cfg" -db >"$work/haproxy.log" 2>&1 &
pids[haproxy]=$!
listening() { ss -Hltn "sport = :$1" | grep -q .; }
for port in 9000 9001 9002; do
  eventually listening "$port" || fail "nothing listens on port $port"
done

report() { # LINE: sent through HAProxy, retrying as a board does; prints the sender's verdict
  "$send" -p 9000 -r 5 -t 5 127.0.0.1 "$1" 2>&1
}
records() { cat "$work"/log*/BOARD.csv 2>/dev/null | wc -l; }

for n in 1 2 3 4 5 6; do
  report "BOARD,$n" >/dev/null || fail "report $n through HAProxy not stored"
done
[ "$(records)" = 6 ] || fail "$(records) of 6 records stored"
for n in 1 2; do
  [ -s "$work/log$n/BOARD.csv" ] || fail "collector $n was given no report"
  grep -q '^Connection from: 127.0.0.1$' "$work/collector$n.out" ||
    fail "collector $n does not name the board"
  ! grep -q 127.0.0.3 "$work/collector$n.out" "$work/collector$n.err" ||
    fail "collector $n names the proxy"
  [ ! -s "$work/collector$n.err" ] || fail "collector $n: $(cat "$work/collector$n.err")"
done

# The collector resets a refused report; HAProxy 2.6 closes the board's side in order even
# so. Should this change, doc/several-collectors.md says otherwise.
refused=$(report "REFUSED,1") ||
  fail "HAProxy now passes a refused report's reset on ($refused): update the documents"
eventually grep -q 'refused device identifier "REFUSED"' "$work"/collector*.err ||
  fail "no collector refused it"

stop collector2
for n in 1 2 3 4 5 6; do
  report "BOARD,after $n" >/dev/null || fail "report $n with one collector stopped not stored"
done
[ "$(records)" = 12 ] || fail "$(records) of 12 records stored"
[ "$(grep -c ',BOARD,after' "$work/log1/BOARD.csv")" = 6 ] || fail "collector 1 stored not all"
eventually grep -q 'collector2 is DOWN' "$work/haproxy.log" || fail "collector 2 not marked down"

stop collector1
eventually grep -q 'has no server available' "$work/haproxy.log" || fail "collector 1 not down"
verdict=$("$send" -p 9000 -t 5 127.0.0.1 "BOARD,none" 2>&1) &&
  fail "with no collector, a board is told: $verdict"
echo "through HAProxy: 12 of 12 stored, the board named; a refused report: $refused;" \
  "with no collector: $verdict"
