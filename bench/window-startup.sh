#!/bin/sh
# How long the real kelvane program takes from its start to a window that
# shows its first diagnostics pass, and its peak resident memory by then,
# beside the same figures for a bare Qt window (the floor).
#
#   window-startup.sh <kelvane_window_probe> <kelvane> <kelvane_hello_window> [runs]
#
# Both programs run unchanged, as users start them, in a virtual X server and
# are watched from outside by the probe (see WindowStartupProbe.cpp). So that
# kelvane's pass meets stand-in tools instead of whatever this machine has,
# everything runs in a private mount namespace (root, or unprivileged user
# namespaces) with a network of its own (no adb server of this machine's is
# followed), in which /usr/local/bin, one of kelvane's fixed tool places, is
# a fresh directory holding a stand-in adb (one authorized phone with
# Lingguang installed: the full pass of three commands) and a stand-in
# scrcpy, and /tmp is private (the X socket and kelvane's activity log).
# The X server runs with -noreset, as a desktop's does: otherwise it
# reinitialises itself whenever its last client leaves (between runs) and
# every start would wait for its keymap compiler and GL driver.
# Runs of the two programs alternate; the first of each is a warm-up and not
# counted. Prints every run, then median, spread and the ratios.
set -eu

if [ "${1:-}" != "--inside" ]; then
  [ $# -ge 3 ] || { echo "usage: $0 <probe> <kelvane> <hello> [runs]" >&2; exit 2; }
  for program in "$1" "$2" "$3"; do
    [ -x "$program" ] || { echo "not an executable: $program" >&2; exit 2; }
    case $(readlink -f "$program") in
      /tmp/*) echo "$program: under /tmp, which is replaced for the runs" >&2; exit 2 ;;
    esac
  done
  script=$(readlink -f "$0")
  if [ "$(id -u)" = 0 ]; then
    exec unshare --mount --net --propagation private sh "$script" --inside "$@"
  fi
  exec unshare --user --map-root-user --mount --net --propagation private sh "$script" --inside "$@"
fi
shift

probe=$(readlink -f "$1")
kelvane=$(readlink -f "$2")
hello=$(readlink -f "$3")
runs=${4:-20}

# The activity log's path, as the build that made kelvane defines it.
facts=$(dirname "$kelvane")/build-facts.sh
[ -f "$facts" ] || { echo "no $facts: give the kelvane of a build directory" >&2; exit 1; }
. "$facts"
activity_log=$log_path

home=$HOME
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /usr/local/bin
work=$(mktemp -d /tmp/window-startup-XXXXXX)
mkdir -m 700 "$work/runtime"

serial=BENCH0001
cat >/usr/local/bin/adb <<EOF
#!/bin/sh
case "\$*" in
  start-server) ;;
  devices) printf 'List of devices attached\n$serial\tdevice\n\n' ;;
  *"pm list packages"*) echo "package:com.antgroup.leopard.android" ;;
esac
exit 0
EOF
printf '#!/bin/sh\nexit 0\n' >/usr/local/bin/scrcpy
chmod 755 /usr/local/bin/adb /usr/local/bin/scrcpy

Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.err" &
xvfb_pid=$!
trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
waited=0
while [ ! -s "$work/display" ]; do
  [ "$waited" -lt 100 ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.err" >&2; exit 1; }
  sleep 0.1; waited=$((waited + 1))
done
display=":$(head -n 1 "$work/display")"

measure() { # <name> <program>
  env -i HOME="$home" PATH=/usr/bin:/bin DISPLAY="$display" XDG_RUNTIME_DIR="$work/runtime" \
    "$probe" "$2" 2>>"$work/errors" | sed "s/^/$1 /"
}

echo "load before: $(uptime)"
measure hello "$hello" >/dev/null
measure kelvane "$kelvane" >/dev/null
run=1
while [ "$run" -le "$runs" ]; do
  measure hello "$hello" >>"$work/results"
  measure kelvane "$kelvane" >>"$work/results"
  run=$((run + 1))
done
echo "load after:  $(uptime)"
cat "$work/results"
if [ -s "$work/errors" ]; then echo "failed runs:"; cat "$work/errors"; fi

# Every kelvane run must have finished its pass against the stand-ins.
passes=$(grep -c "Diagnostics refreshed. Ready to mirror 1 authorized device(s)." "$activity_log" || true)
echo "completed passes in the activity log: $passes of $((runs + 1))"

stats() { # <name> <field>: median min max of the field over the name's runs
  grep "^$1 " "$work/results" | tr ' ' '\n' | sed -n "s/^$2=//p" | sort -n | awk '
    { v[NR] = $1 }
    END {
      if (NR == 0) { print "- - -"; exit }
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.1f %.1f %.1f\n", m, v[1], v[NR]
    }'
}

echo
printf '%-34s %10s %10s %10s\n' "figure (runs: $runs each)" median min max
for field in mapped_ms settled_frame_ms peak_rss_kib cpu_ms; do
  for name in hello kelvane; do
    set -- $(stats "$name" "$field")
    printf '%-34s %10s %10s %10s\n' "$name $field" "$1" "$2" "$3"
  done
done
for field in settled_frame_ms peak_rss_kib; do
  set -- $(stats hello "$field"); floor=$1
  set -- $(stats kelvane "$field"); measured=$1
  echo "ratio of medians, $field: $(awk -v a="$measured" -v b="$floor" 'BEGIN { printf "%.2f", a / b }')"
done
[ "$passes" -eq "$((runs + 1))" ] && [ ! -s "$work/errors" ]
