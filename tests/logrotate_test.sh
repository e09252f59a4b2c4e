#!/usr/bin/env bash
# Debian's real logrotate rotates the collector's device files, with the package's policy and
# with the other common ones, while the real collector runs: the collector stores across the
# rotation, and the fleet view's answers (its check's status line with the performance data,
# and its metrics) are the same after it as before. A silent board and a fresh one.
# Usage: logrotate_test.sh COLLECTOR FLEET SOURCE_DIR   (as root: a network namespace of its own)
set -euo pipefail
if [ -z "${LOGROTATE_TEST_NETNS:-}" ]; then
  exec unshare --net env LOGROTATE_TEST_NETNS=1 bash "$0" "$@"
fi
collector=$(readlink -f "$1") fleet=$(readlink -f "$2") policy=$3/packaging/report-collector.logrotate
ip link set lo up
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
port=9999
mkdir "$work/log"
"$collector" -p "$port" -l 127.0.0.1 -d "$work/log" >"$work/collector.out" 2>&1 &
pid=$!

# One report, delivered: sent whole, and the collector closed the connection.
report() {
  timeout 10 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1"; printf "%s\n" "$2" >&3; cat <&3 >/dev/null' \
    - "$port" "$1" || fail "report $1 not delivered"
}
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

# The silent board's history ends 3 hours ago, the fresh one's now, through the collector.
history() { # BOARD FROM_MINUTES_AGO TO_MINUTES_AGO
  for ((ago = $2; ago >= $3; ago--)); do
    echo "$(date -d "-$ago minutes" +%d%m%Y%H%M%S),$1,$((20 + ago % 7)).5,$((ago % 50))"
  done
}
history SILENT 300 180 >"$work/log/SILENT.csv"
touch -d '-180 minutes' "$work/log/SILENT.csv"
history FRESH 300 2 >"$work/log/FRESH.csv"
touch -d '-2 minutes' "$work/log/FRESH.csv"
report "FRESH,21.5,40"
cp -a "$work/log" "$work/kept"

# The view's answers that do not change with the passing seconds.
answers() {
  "$fleet" -d "$work/log" --check --prometheus "$work/metrics" >"$work/check" || true
  head -n 1 "$work/check"
  grep -v '^#' "$work/metrics"
}
expected=$(answers)
grep -q '^FLEET WARNING - 0 of 2 out of range, 1 stale | ' <<<"$expected" ||
  fail "before any rotation: $expected"

rotate() { # CONFIGURATION...
  printf '%s\n' "$@" >"$work/logrotate.conf"
  logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" 2>"$work/logrotate.err" ||
    { cat "$work/logrotate.err"; fail "logrotate failed"; }
}
# The package's policy, for this log directory.
packaged=$(sed "s|/var/lib/report-collector/log|$work/log|" "$policy")
grep -q "^$work/log/\*.csv {" <<<"$packaged" || fail "the packaged policy names no device files"
policies=("$packaged"
  "$work/log/*.csv { create
rotate 5
}"
  "$work/log/*.csv { dateext
extension .csv
rotate 5
}"
  "$work/log/*.csv { dateext
dateformat -%Y-%m-%d_%H%M%S
compress
create
rotate 5
}")
for policy in "${policies[@]}"; do
  rm -rf "$work/log" "$work/logrotate.state"
  cp -a "$work/kept" "$work/log"
  name=$(tr '\n\t' '  ' <<<"$policy" | tr -s ' ' | sed "s|$work/log/||")
  rotate "$policy"
  [ "$(answers)" = "$expected" ] ||
    fail "after a rotation by { ${name#*\{}: $(answers) (files: $(ls "$work/log"))"
  # The collector stores across it: the fresh board's next record is one more of the window.
  report "FRESH,22.5,41"
  grep -q ',FRESH,22.5,41$' "$work/log/FRESH.csv" || fail "the collector did not make FRESH.csv again"
  sleep 1 # a name of its own for each rotation, with dateformat's seconds
  rotate "$policy" # a second time: delaycompress compresses the first part now
  after=$(answers)
  grep -q "'FRESH field 3'=22.5;" <<<"$after" || fail "the last value is not the newest: $after"
  grep -q "'SILENT field 3'=" <<<"$after" || fail "the silent board lost its last values: $after"
  records() { sed -n "s/^report_collector_window_records{device=\"$1\"} //p" <<<"$2"; }
  [ "$(records FRESH "$after")" = "$(($(records FRESH "$expected") + 1))" ] ||
    fail "FRESH's records after two rotations by { ${name#*\{}: $after"
  [ "$(records SILENT "$after")" = "$(records SILENT "$expected")" ] || fail "SILENT's records: $after"
  echo "rotated twice by { ${name#*\{}: $(ls "$work/log" | tr '\n' ' ')- the same answers"
done
kill "$pid"
wait "$pid" || fail "the collector did not stop in order: $(cat "$work/collector.out")"
pid=
echo "$(head -n 1 "$work/check")"
