#!/usr/bin/env bash
# The fleet's check as a real monitoring engine runs it: Nagios 4 (Debian's nagios4-core),
# with a configuration of its own in a scratch directory, runs report-collector-fleet --check
# as a service check at once and keeps its state, status line, performance data and table,
# which this reads back from the engine's status file. Each performance data item must follow
# the grammar of the Monitoring Plugins development guidelines.
# Usage: plugin_engine_test.sh FLEET_BINARY   (as root: the engine drops to the nagios user)
set -euo pipefail
fleet=$(readlink -f "$1")
engine=/usr/sbin/nagios4
[ -x "$engine" ] || { echo "no $engine: install the nagios4-core package"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "run as root: the engine is started as root and drops to the nagios user"; exit 1; }
id nagios >/dev/null 2>&1 || { echo "no nagios user (nagios4-core makes it)"; exit 1; }

# In /tmp, which the nagios user can reach whatever TMPDIR is.
work=$(mktemp -d /tmp/plugin_engine.XXXXXX)
chmod 755 "$work"
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The build tree may lie where the nagios user cannot go (CI builds below /root, 0700): the
# engine runs a copy of the binary from the scratch directory.
install -m 0755 "$fleet" "$work/report-collector-fleet"
fleet=$work/report-collector-fleet
runuser -u nagios -- test -x "$fleet" || { echo "the nagios user cannot run $fleet"; exit 1; }

fail() {
  echo "FAIL: $*"
  if [ -f "$work/engine.log" ]; then echo "--- engine log:"; cat "$work/engine.log"; fi
  exit 1
}

# The fleet: North reports now with a temperature out of its critical range, South|West (a '|'
# in its name, which engines must not read as the start of performance data) reports values
# in range but went silent three hours ago (stale after the default hour). A second service
# runs the view on a log directory that is not there: it cannot work.
mkdir "$work/log" "$work/results" "$work/tmp"
echo "$(date +%d%m%Y%H%M%S),AA,36.2,55,3.7" >"$work/log/AA.csv"
echo "$(date -d '-3 hours' +%d%m%Y%H%M%S),BB,20.5,60,3.6" >"$work/log/BB.csv"
cat >"$work/devices" <<'EOF'
[kind greenhouse]
fields = temperature (°C), humidity (%), battery (V)
warn = temperature 5:30, battery 3.4:
crit = temperature 2:35, battery 3.2:
[AA]
kind = greenhouse
name = North
[BB]
kind = greenhouse
name = South|West
EOF

cat >"$work/nagios.cfg" <<EOF
cfg_file=$work/objects.cfg
log_file=$work/engine.log
object_cache_file=$work/objects.cache
precached_object_file=$work/objects.precache
status_file=$work/status.dat
status_update_interval=1
lock_file=$work/nagios.pid
temp_file=$work/nagios.tmp
temp_path=$work/tmp
check_result_path=$work/results
check_result_reaper_frequency=1
command_file=$work/nagios.cmd
check_external_commands=1
query_socket=$work/nagios.qh
log_archive_path=$work
log_rotation_method=n
state_retention_file=$work/retention.dat
retain_state_information=0
use_syslog=0
enable_notifications=0
execute_service_checks=0
illegal_macro_output_chars=\`~\$&|'"<>
enable_event_handlers=0
enable_flap_detection=0
process_performance_data=0
interval_length=60
nagios_user=nagios
nagios_group=nagios
EOF

cat >"$work/objects.cfg" <<EOF
define timeperiod {
  timeperiod_name always
  alias           Always
  sunday          00:00-24:00
  monday          00:00-24:00
  tuesday         00:00-24:00
  wednesday       00:00-24:00
  thursday        00:00-24:00
  friday          00:00-24:00
  saturday        00:00-24:00
}
define contact {
  contact_name                  nobody
  host_notifications_enabled    0
  service_notifications_enabled 0
  host_notification_period      always
  service_notification_period   always
  host_notification_options     n
  service_notification_options  n
  host_notification_commands    always-up
  service_notification_commands always-up
}
define command {
  command_name always-up
  command_line /bin/true
}
define command {
  command_name fleet-check
  command_line $fleet -d $work/log --devices $work/devices --check
}
define command {
  command_name fleet-broken
  command_line $fleet -d $work/nowhere --check
}
define host {
  host_name             greenhouses
  alias                 Greenhouses
  address               127.0.0.1
  check_command         always-up
  max_check_attempts    1
  check_interval        60
  check_period          always
  contacts              nobody
  notification_interval 0
  notification_period   always
}
define service {
  name                  fleet-service
  register              0
  host_name             greenhouses
  max_check_attempts    1
  check_interval        60
  retry_interval        60
  check_period          always
  contacts              nobody
  notification_interval 0
  notification_period   always
}
define service {
  use                   fleet-service
  service_description   fleet
  check_command         fleet-check
}
define service {
  use                   fleet-service
  service_description   broken
  check_command         fleet-broken
}
EOF
chown -R nagios:nagios "$work"

"$engine" -v "$work/nagios.cfg" >"$work/verify.txt" 2>&1 || { cat "$work/verify.txt"; fail "the engine rejects the configuration"; }
grep -q 'Total Errors: *0' "$work/verify.txt" || { cat "$work/verify.txt"; fail "the engine's verification reports errors"; }

start=$(date +%s)
"$engine" "$work/nagios.cfg" >"$work/engine.out" 2>&1 &
pid=$!

# Wait for the command pipe, then ask for the check: service checks are off
# (execute_service_checks=0), so the only one run is the one forced through the pipe.
deadline=$((start + 90))
until [ -p "$work/nagios.cmd" ]; do
  kill -0 "$pid" 2>/dev/null || { cat "$work/engine.out"; fail "the engine exited"; }
  [ "$(date +%s)" -lt "$deadline" ] || fail "no command pipe $work/nagios.cmd"
  sleep 0.2
done
now=$(date +%s)
timeout 30 sh -c "printf '[%s] SCHEDULE_FORCED_SVC_CHECK;greenhouses;%s;%s\n' $now fleet $now $now broken $now >'$work/nagios.cmd'" ||
  fail "cannot write to the command pipe"

# The block of status.dat of the service $1, once it holds a result.
service_status() {
  awk -v name="$1" '/^servicestatus \{/ { block = ""; inside = 1; next }
       inside && /^\t}/ { if (block ~ /\thas_been_checked=1\n/ && index(block, "\tservice_description=" name "\n")) { printf "%s", block; found = 1 } inside = 0; next }
       inside { block = block $0 "\n" }
       END { exit !found }' "$work/status.dat" 2>/dev/null
}
until status=$(service_status fleet) && broken=$(service_status broken); do
  kill -0 "$pid" 2>/dev/null || { cat "$work/engine.out"; fail "the engine exited"; }
  [ "$(date +%s)" -lt "$deadline" ] || fail "no check result in $work/status.dat within 90 s"
  sleep 0.5
done
# A value as the engine wrote it: everything after the first '=' of the line.
value() { printf '%s\n' "$status" | sed -n "s/^[[:space:]]*$1=//p" | head -n 1; }
state=$(value current_state)
output=$(value plugin_output)
perfdata=$(value performance_data)
long=$(value long_plugin_output)
echo "engine: $("$engine" --version | sed -n 's/^Nagios Core /Nagios Core /p' | head -n 1), result after $(($(date +%s) - start)) s"
echo "current_state: $state"
echo "plugin_output: $output"
echo "performance_data: $perfdata"
echo "long_plugin_output:"
printf '%s\n' "$long" | sed 's/\\n/\n/g; s/\\\\/\\/g' | sed 's/^/  /'

grep -q 'EXTERNAL COMMAND: SCHEDULE_FORCED_SVC_CHECK;greenhouses;fleet;' "$work/engine.log" ||
  fail "the engine did not log the forced check"
[ "$(value check_type)" = 0 ] || fail "the result is not that of an active check"

[ "$state" = 2 ] || fail "current_state $state, not 2 (CRITICAL: North's temperature is out of its critical range)"
[ "$output" = "FLEET CRITICAL - 1 of 2 out of range, 1 stale" ] ||
  fail "plugin_output is '$output', not the status line without its performance data"
for item in "'North temperature'=36.2C;5:30;2:35;;" "'North humidity'=55%;;;;" \
  "'North battery'=3.7V;3.4:;3.2:;;" "'South¦West temperature'=20.5C;5:30;2:35;;" \
  "'South¦West battery'=3.6V;3.4:;3.2:;;"; do
  case " $perfdata " in
    *" $item "*) ;;
    *) fail "performance_data lacks $item" ;;
  esac
done
case "$perfdata" in *'|'*) fail "performance_data holds a '|'" ;; esac
case "$long" in *'|'*) fail "long_plugin_output holds a '|': engines read what follows as performance data" ;; esac
case "$long" in
  *'AA (North)'*CRITICAL*) ;;
  *) fail "long_plugin_output lacks North's row of the table" ;;
esac
case "$long" in
  *'BB (South¦West)'*STALE*) ;;
  *) fail "long_plugin_output lacks South's row of the table" ;;
esac

# The guidelines' grammar: 'label'=value[UOM];[warn];[crit];[min];[max], the value a decimal in
# the C locale, warn and crit ranges ([@][start:]end, start a number or ~, end a number or
# empty after a colon), min and max numbers. A label in quotes holds no quote but a doubled
# one, and no equals sign. The units are the guidelines' (s, ms, us, %, B, KB, MB, TB, c) and
# the others that the fleet's manual lists, which Icinga 2 and graphers know.
number='-?[0-9]+(\.[0-9]+)?'
range="(@?((${number}|~):)?${number}|@?(${number}|~):)"
label="'([^'=]|'')+'"
item_re="^${label}=${number}(s|ms|us|%|B|KB|MB|GB|TB|c|C|F|V|mV|A|mA|W|kW|Wh|kWh|dBm|Hz|lm)?;(${range})?;(${range})?;(${number})?;(${number})?$"
# Split on blanks outside quotes, as the engine's consumers do.
items=$(printf '%s' "$perfdata" | grep -oE "(${label}|[^ '=]+)=[^ ]*")
count=0
while IFS= read -r item; do
  [[ $item =~ $item_re ]] || fail "performance data item does not follow the guidelines' grammar: $item"
  count=$((count + 1))
done <<<"$items"
[ "$(printf '%s\n' "$items" | paste -sd ' ')" = "$perfdata" ] ||
  fail "performance_data holds more than its items: $perfdata"
[ "$count" = 6 ] || fail "$count performance data items, not 6 (three fields of two devices)"
echo "$count performance data items follow the guidelines' grammar"

# The view that cannot work: UNKNOWN, with its reason where the engine shows it.
status=$broken
echo "broken: current_state $(value current_state), plugin_output: $(value plugin_output)"
[ "$(value current_state)" = 3 ] || fail "the broken view's state is not 3 (UNKNOWN)"
[ "$(value plugin_output)" = "FLEET UNKNOWN - cannot read $work/nowhere: No such file or directory" ] ||
  fail "the broken view's output is '$(value plugin_output)'"
