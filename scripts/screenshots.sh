#!/usr/bin/env bash
# Renders the share sheet's two faces as PNG files for the README, on a virtual X display
# (xvfb-run), with kelpword-share as built by the release preset and a demonstration home under
# build/screenshots (the user database points there through nss_wrapper):
#   docs/sheet-status.png    the status sheet with its progress bar, while a long recording is
#                            copied from a slow disk (root: a throttled loop device)
#   docs/sheet-failure.png   the failure sheet, when KelpWord's inbox is missing
#   docs/reference-app.png   kelpword-reference, the example main application, after a share and
#                            a drop from another application's window
#
#   scripts/screenshots.sh [BUILD]    (BUILD: a build folder to take kelpword-share from, as it
#                                      is; by default the release preset, built first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${1:-}" != --on-display ]; then
  build=${1:-}
  if [ -z "$build" ]; then
    scripts/install-deps.sh
    cmake --preset release >/dev/null
    cmake --build --preset release --target kelpword-share kelpword-reference \
      reference-drag-source -j "$(nproc)"
    build=$root/build/release
  fi
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" --on-display "$(realpath "$build")"
fi

extension=$2/KelpWord.app/Contents/PlugIns/KelpWordShare.appex/Contents/MacOS/kelpword-share
work=$root/build/screenshots
home=$work/home
rm -rf "$work"
mkdir -p "$home" "$root/docs"
echo "shots:x:$(id -u):$(id -g):Screenshots:$home:/bin/sh" >"$work/passwd"
: >"$work/group"
nss=""
for candidate in /usr/lib/*-linux-gnu/libnss_wrapper.so /usr/lib/libnss_wrapper.so; do
  [ -e "$candidate" ] && nss=$candidate && break
done
[ -n "$nss" ] || { echo "libnss_wrapper.so not found (package libnss-wrapper)" >&2; exit 1; }

# Starts kelpword-share in the background ($pid), drawing as the tests do: with cairo (software
# OpenGL under Xvfb is slow), no accessibility bus, the toolkit's files in the demonstration home.
start_share() {
  env LD_PRELOAD="$nss" NSS_WRAPPER_PASSWD="$work/passwd" NSS_WRAPPER_GROUP="$work/group" \
    HOME="$home" XDG_CACHE_HOME="$home/.cache" XDG_CONFIG_HOME="$home/.config" \
    XDG_DATA_HOME="$work/data" XDG_DATA_DIRS="$work/data" GSK_RENDERER=cairo GTK_A11Y=none \
    "$extension" "$@" 3>&- <"${share_input:-/dev/null}" &
  pid=$!
}
pid=""

# The sheet's window once it shows, waited for up to ten seconds.
window_of() {
  local pid=$1 id=""
  for _ in $(seq 100); do
    id=$(xdotool search --all --onlyvisible --pid "$pid" --name '^KelpWord$' 2>/dev/null | head -1) || true
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { echo "kelpword-share showed no window" >&2; return 1; }
  echo "$id"
}

# The window's picture, without the time stamps that would make every run's file differ.
shoot() {
  sleep 1 # drawn
  import -window "$1" ppm:- | convert ppm:- -strip "png:$2"
  echo "wrote $2"
}

# A long recording on a slow disk, for the status sheet with its progress bar: a 2 GiB file of
# real blocks on ext2 in a loop device whose reads a cgroup holds to 24 MiB/s. Root only; where it
# cannot be made, the recording arrives on standard input instead, with no bar.
slow_disk=""
slow_cgroup=""
slow_device=""
make_slow_disk() {
  [ "$(id -u)" = 0 ] || return 1
  local image=$work/slow.img blocks=$((2 * 1024 * 1024 / 4))
  truncate -s 2300M "$image"
  mkfs.ext2 -q -F -b 4096 "$image" >/dev/null 2>&1 || return 1
  debugfs -w -R "write /dev/null Interview.wav" "$image" >/dev/null 2>&1 || return 1
  debugfs -w -R "fallocate Interview.wav 0 $((blocks - 1))" "$image" >/dev/null 2>&1 || return 1
  debugfs -w -R "sif Interview.wav size $((blocks * 4096))" "$image" >/dev/null 2>&1 || return 1
  debugfs -w -R "sif Interview.wav mode 0100644" "$image" >/dev/null 2>&1 || return 1
  slow_device=$(losetup --find --show "$image") || return 1
  mkdir -p "$work/slow"
  mount -o ro "$slow_device" "$work/slow" || return 1
  slow_disk=$work/slow
  local numbers rate=$((24 * 1024 * 1024))
  numbers=$(lsblk -ndo MAJ:MIN "$slow_device" | tr -d ' ')
  if grep -qw io /sys/fs/cgroup/cgroup.controllers 2>/dev/null; then
    echo +io >/sys/fs/cgroup/cgroup.subtree_control || true
    slow_cgroup=/sys/fs/cgroup/kelpword-screenshots
    mkdir -p "$slow_cgroup" && echo "$numbers rbps=$rate" >"$slow_cgroup/io.max"
  elif [ -e /sys/fs/cgroup/blkio/blkio.throttle.read_bps_device ]; then
    slow_cgroup=/sys/fs/cgroup/blkio/kelpword-screenshots
    mkdir -p "$slow_cgroup" && echo "$numbers $rate" >"$slow_cgroup/blkio.throttle.read_bps_device"
  else
    return 1
  fi
}
remove_slow_disk() {
  [ -z "$slow_cgroup" ] || rmdir "$slow_cgroup" 2>/dev/null || true
  [ -z "$slow_disk" ] || umount "$slow_disk" || true
  [ -z "$slow_device" ] || losetup -d "$slow_device" || true
  rm -f "$work/slow.img"
}
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; remove_slow_disk' EXIT

# Status: the inbox is there and the recording is on its way, under way for a while.
mkdir -p "$home/Library/Application Support/com.brenvik.kelpword/Received Files"
if make_slow_disk; then
  echo $$ >"$slow_cgroup/cgroup.procs"
  start_share "$slow_disk/Interview.wav"
  echo $$ >"$(dirname "$slow_cgroup")/cgroup.procs"
  id=$(window_of $pid)
  sleep 2 # the bar shows after half a second, and has moved on by now
else
  echo "no slow disk for the progress bar (needs root, a loop device and a cgroup)" >&2
  mkfifo "$work/arriving"
  exec 3<>"$work/arriving"
  share_input="$work/arriving" start_share --type com.microsoft.waveform-audio --name Interview -
  id=$(window_of $pid)
fi
shoot "$id" "$root/docs/sheet-status.png"
kill "$pid"
wait "$pid" || true
pid=""
remove_slow_disk
slow_disk=""
slow_cgroup=""
slow_device=""
pid=""
exec 3>&-

# Failure: no inbox.
rm -rf "$home/Library"
start_share
id=$(window_of $pid)
shoot "$id" "$root/docs/sheet-failure.png"
xdotool windowfocus --sync "$id" key Return
wait "$pid" || true
pid=""

# The reference application, on a session bus of its own: a share lands in the inbox and is
# handed over as the hand-off does it (a second instance passes the file to the running one over
# D-Bus); then a recording is dragged in from another application's window.
reference=$2/reference-app/kelpword-reference
drag_source=$2/tests/reference-app/reference-drag-source
if [ ! -x "$reference" ] || [ ! -x "$drag_source" ]; then
  echo "kelpword-reference or its tests' drag source is not built: no docs/reference-app.png" >&2
  exit 0
fi
bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*}
bus_pid=${bus##*$'\n'}
source_pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true
      [ -z "$source_pid" ] || kill "$source_pid" 2>/dev/null || true
      kill "$bus_pid" 2>/dev/null || true' EXIT
reference_env=(env LD_PRELOAD="$nss" NSS_WRAPPER_PASSWD="$work/passwd" NSS_WRAPPER_GROUP="$work/group"
  HOME="$home" XDG_CACHE_HOME="$home/.cache" XDG_CONFIG_HOME="$home/.config"
  XDG_DATA_HOME="$work/data" XDG_DATA_DIRS="$work/data" GSK_RENDERER=cairo GTK_A11Y=none)
"${reference_env[@]}" "$reference" >"$work/reference.out" 2>&1 </dev/null &
pid=$!
id=$(window_of $pid)

mkdir -p "$work/recordings"
head -c 4096 /dev/zero >"$work/recordings/Interview.wav"
head -c 4096 /dev/zero >"$work/recordings/Team meeting.m4a"
inbox="$home/Library/Application Support/com.brenvik.kelpword/Received Files"
env LD_PRELOAD="$nss" NSS_WRAPPER_PASSWD="$work/passwd" NSS_WRAPPER_GROUP="$work/group" \
  HOME="$home" KELPWORD_STAND_IN_RECORD="$work/opened.txt" \
  "$extension" --no-window "$work/recordings/Interview.wav" </dev/null >/dev/null
shared=$(find "$inbox" -name Interview.wav | head -1)
"${reference_env[@]}" "$reference" "$shared" </dev/null

"$drag_source" --files "$work/recordings/Team meeting.m4a" >/dev/null 2>&1 </dev/null &
source_pid=$!
source_id=""
for _ in $(seq 100); do
  source_id=$(xdotool search --all --onlyvisible --pid "$source_pid" --name '^Drag source$' 2>/dev/null | head -1) || true
  [ -n "$source_id" ] && break
  sleep 0.1
done
xdotool windowmove --sync "$source_id" 560 40
xdotool mousemove --sync 640 100 mousedown 1 \
  mousemove 600 120 sleep 0.05 mousemove 500 140 sleep 0.05 mousemove 400 160 sleep 0.05 \
  mousemove 300 170 sleep 0.05 mousemove 240 180 sleep 0.3 mousemove 244 184 sleep 0.3 mouseup 1
for _ in $(seq 100); do
  [ "$(grep -c '^received: ' "$work/reference.out")" -ge 2 ] && break
  sleep 0.1
done
kill "$source_pid"
source_pid=""
xdotool mousemove 1000 750
shoot "$id" "$root/docs/reference-app.png"
