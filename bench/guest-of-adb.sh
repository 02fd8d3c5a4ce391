#!/usr/bin/env bash
# Kelvane beside another tool's adb server, measured with the real adb
# (docs/reliability.md, "A guest of adb's server"):
#
#   bench/guest-of-adb.sh <build dir> [seconds]
#
# 1. A stand-in server of adb version 39 (bench/other-adb-server.py) holds
#    adb's port and comes back 3 s after it is killed, as an IDE's adb does.
#    kelvane-doctor --watch, then the window (under Xvfb), each run idle for
#    <seconds> (60 by default): how often the other server was killed, and
#    what the ADB row says.
# 2. With the window open, adb kill-server: whether a server runs 10 s later.
# 3. Closing the window (SIGTERM) while its follower waits for an adb that
#    ignores SIGTERM: how long it takes, and whether that adb is left.
# 4. kill -9 of kelvane-doctor --watch and of the window, and the loss of the
#    X server: which of their processes are left 2 s later.
# 5. A list that changes 20 times a second for 10 s (the stand-in server at
#    adb's own version, --churn): how many passes kelvane-doctor --watch
#    runs, and on which list the last one is.
# Kills every adb server of this user's before and after.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; adb kill-server 2>/dev/null || true; rm -rf "$work"' EXIT

adb kill-server 2>/dev/null || true
other() { python3 "$here/other-adb-server.py" --kills "$work/kills" >/dev/null 2>&1 & echo $!; }
children_of() { { pgrep -P "$1" || true; } | tr '\n' ' '; }

echo "== kelvane-doctor --watch beside a server of version 39, idle for $seconds s"
other_pid=$(other)
sleep 1
"$build/kelvane-doctor" --watch >"$work/doctor.out" 2>&1 &
doctor=$!
sleep "$seconds"
echo "kills of the other server: $(wc -l <"$work/kills" 2>/dev/null || echo 0)"
grep -E '^warn  ADB' "$work/doctor.out" | sort | uniq -c
kill -TERM "$doctor"; wait "$doctor" 2>/dev/null || true
kill "$other_pid"; wait "$other_pid" 2>/dev/null || true
adb kill-server 2>/dev/null || true
rm -f "$work/kills"

echo "== the window beside a server of version 39, idle for $seconds s"
Xvfb :93 -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1
other_pid=$(other)
sleep 1
DISPLAY=:93 "$build/kelvane" >/dev/null 2>&1 &
window=$!
sleep "$seconds"
echo "kills of the other server: $(wc -l <"$work/kills" 2>/dev/null || echo 0)"
if command -v import >/dev/null; then import -display :93 -window root /tmp/guest-of-adb-window.png; fi
kill "$other_pid"; wait "$other_pid" 2>/dev/null || true
adb kill-server 2>/dev/null || true

echo "== adb kill-server with the window open"
adb start-server 2>/dev/null || true
sleep 2
adb kill-server
sleep 10
echo "adb servers 10 s later: $(pgrep -c -f 'adb .*server' || true)"

echo "== closing the window while its follower waits for a stubborn adb"
kill -TERM "$window"; wait "$window" 2>/dev/null || true
# A source build looks first for adb below the build directory.
bundled="$build/Contents/Resources/platform-tools/adb"
[ ! -e "$bundled" ] || { echo "$bundled exists: not replacing it" >&2; exit 1; }
mkdir -p "$(dirname "$bundled")"
printf '#!/bin/sh\n[ "$1" = version ] && { trap "" TERM; exec sleep 30; }\nexec adb "$@"\n' >"$bundled"
chmod +x "$bundled"
DISPLAY=:93 "$build/kelvane" >/dev/null 2>&1 &
window=$!
sleep 3
echo "its children: $(ps -o pid=,args= --ppid "$window" | tr '\n' ';')"
start=$(date +%s%N)
kill -TERM "$window"; wait "$window" 2>/dev/null || true
echo "window gone after SIGTERM in $(( ($(date +%s%N) - start) / 1000000 )) ms"
rm -rf "$build/Contents"
sleep 1
echo "stubborn adb left 1 s later: $(pgrep -c -f 'sleep 30' || true)"

echo "== abnormal ends"
adb start-server 2>/dev/null || true
# abnormal_end <what> <victim: self or a pid> <program> [arguments]: starts
# the program, kills the victim with SIGKILL 3 s later, and tells which of
# the program's children are left 2 s after that.
abnormal_end() {
  local what=$1 victim=$2 program left
  shift 2
  DISPLAY=:93 "$@" >/dev/null 2>&1 &
  program=$!
  sleep 3
  left=$(children_of "$program")
  kill -9 "$([ "$victim" = self ] && echo "$program" || echo "$victim")"; sleep 2
  echo "after $what: $(basename "$1") $(kill -0 "$program" 2>/dev/null && echo runs || echo ended), children before: [$left], left now: [$(for p in $left; do kill -0 "$p" 2>/dev/null && echo "$p"; done)]"
}
abnormal_end "kill -9 of kelvane-doctor --watch" self "$build/kelvane-doctor" --watch
abnormal_end "kill -9 of kelvane" self "$build/kelvane"
abnormal_end "the X server's loss" "$xvfb" "$build/kelvane"
adb kill-server 2>/dev/null || true

echo "== a list changing 20 times a second for 10 s, kelvane-doctor --watch --json"
python3 "$here/other-adb-server.py" --version 41 --churn 20 --for 10 >/dev/null 2>&1 &
churning=$!
sleep 1
"$build/kelvane-doctor" --watch --json >"$work/churn.out" 2>&1 &
doctor=$!
sleep 14
kill -TERM "$doctor"; wait "$doctor" 2>/dev/null || true
kill "$churning"; wait "$churning" 2>/dev/null || true
echo "passes for the changes: $(( $(wc -l <"$work/churn.out") - 1 )), the last on: $(tail -n 1 "$work/churn.out" | python3 -c 'import json,sys; print([d["id"] for d in json.load(sys.stdin)["devices"]])')"
