#!/bin/sh
# Starts the real application in a virtual X server, waits until its first
# diagnostics pass has written its activity-log entry, sees that it still
# runs a moment later, and ends both.
#
#   KelvaneAppSmokeTest.sh <kelvane program> <activity log>
#
# Exits 77 (skipped) without Xvfb.
set -u

program=$1
activity_log=$2
wait_seconds=20
skipped=77

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "Xvfb is not installed: skipping the smoke test of the window."
  exit $skipped
fi

work=$(mktemp -d /tmp/kelvane-smoke-XXXXXX)
xvfb_pid=
app_pid=
finish() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

# Xvfb picks a free display itself and writes its number when it is ready.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.err" &
xvfb_pid=$!
waited=0
while [ ! -s "$work/display" ]; do
  if ! kill -0 "$xvfb_pid" 2>/dev/null || [ "$waited" -ge 100 ]; then
    echo "Xvfb did not start:"; cat "$work/xvfb.err"; exit 1
  fi
  sleep 0.1; waited=$((waited + 1))
done
display=":$(head -n 1 "$work/display")"

# The log is shared and only grows: count its lines now, look after them.
lines_before=0
[ -f "$activity_log" ] && lines_before=$(wc -l <"$activity_log")

# On the virtual X server, whatever platform the tests around it use.
DISPLAY=$display QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$work "$program" >"$work/app.out" 2>&1 &
app_pid=$!

deadline=$(( $(date +%s) + wait_seconds ))
while ! tail -n +"$((lines_before + 1))" "$activity_log" 2>/dev/null | grep -q "Diagnostics refreshed\."; do
  if ! kill -0 "$app_pid" 2>/dev/null; then
    echo "kelvane ended before its first diagnostics pass:"; cat "$work/app.out"; app_pid=; exit 1
  fi
  if [ "$(date +%s)" -ge "$deadline" ]; then
    echo "No \"Diagnostics refreshed.\" entry in $activity_log within $wait_seconds s:"; cat "$work/app.out"; exit 1
  fi
  sleep 0.2
done

# Give the window a moment to draw the finished pass: it must not end.
sleep 0.5
if ! kill -0 "$app_pid" 2>/dev/null; then
  echo "kelvane ended after its first pass:"; cat "$work/app.out"; app_pid=; exit 1
fi
# A start with nothing to say says nothing (the toolkit's warnings included).
if [ -s "$work/app.out" ]; then
  echo "kelvane wrote:"; cat "$work/app.out"; exit 1
fi
echo "First pass logged:"
tail -n +"$((lines_before + 1))" "$activity_log" | grep "Diagnostics refreshed\."
exit 0
