#!/usr/bin/env bash
# Builds kelpword-share, then shares a short recording the way a user would: into the inbox of a
# demonstration home under build/demo (the user database points there through nss_wrapper, so
# the real home is never touched), handing it to KelpWord. Shows what landed in the inbox and
# what KelpWord received.
#
# Where a display is available and GTK 4 is built, KelpWord is kelpword-reference, the example
# main application, running on a session bus of the demonstration's own: the share's hand-off
# reaches it and its window lists the recording. Elsewhere KelpWord is the stand-in of the
# build's demonstration bundle, which writes down what it was asked to open.
#
#   scripts/demo.sh [release|debug]     (release by default)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

preset=${1:-release}
case $preset in release | debug) ;; *)
  echo "usage: scripts/demo.sh [release|debug]" >&2
  exit 2
  ;;
esac

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target kelpword-share -j "$(nproc)"

build=$root/build/$preset
extension=$build/KelpWord.app/Contents/PlugIns/KelpWordShare.appex/Contents/MacOS/kelpword-share
reference=""
if [ -n "${WAYLAND_DISPLAY:-}${DISPLAY:-}" ] && grep -q 'kelpword-reference' "$build/build.ninja"; then
  cmake --build --preset "$preset" --target kelpword-reference -j "$(nproc)"
  reference=$build/reference-app/kelpword-reference
fi
demo=$root/build/demo
home=$demo/home
inbox="$home/Library/Application Support/com.brenvik.kelpword/Received Files"

nss=""
for candidate in /usr/lib/*-linux-gnu/libnss_wrapper.so /usr/lib/libnss_wrapper.so; do
  [ -e "$candidate" ] && nss=$candidate && break
done
[ -n "$nss" ] || { echo "libnss_wrapper.so not found (package libnss-wrapper)" >&2; exit 1; }

# A fresh demonstration home, with the inbox that KelpWord makes when it first runs.
rm -rf "$demo"
mkdir -p "$inbox" "$demo/recordings" "$demo/applications"
echo "demo:x:$(id -u):$(id -g):Demonstration:$home:/bin/sh" >"$demo/passwd"
: >"$demo/group"

# Two seconds of a 400 Hz tone: 8-bit mono PCM at 8000 samples a second, as a WAVE file.
le() { # value, bytes: the value in little-endian order
  local value=$1 bytes=$2 out=""
  for ((i = 0; i < bytes; i++)); do
    out+=$(printf '\\%03o' $(((value >> (8 * i)) & 255)))
  done
  printf '%b' "$out"
}
recording=$demo/recordings/Interview.wav
samples=16000
period=$(printf '\300%.0s' {1..10})$(printf '\100%.0s' {1..10})
{
  printf 'RIFF'; le $((36 + samples)) 4; printf 'WAVEfmt '
  le 16 4; le 1 2; le 1 2; le 8000 4; le 8000 4; le 1 2; le 8 2
  printf 'data'; le $samples 4
  tone=""
  for ((i = 0; i < samples / 20; i++)); do tone+=$period; done
  printf '%b' "$tone"
} >"$recording"

received_by_reference() { grep -s '^received: ' "$demo/kelpword-reference.out" | sed 's/^received: /  /'; }
app_pid=""
bus_pid=""
cleanup() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -n "$reference" ]; then
  # A demonstration bundle whose KelpWord is the reference application, with a copy of the
  # extension inside it (each finds the other through the bundle's folders).
  bundle=$demo/KelpWord.app
  mkdir -p "$bundle/Contents/MacOS" "$bundle/Contents/PlugIns/KelpWordShare.appex/Contents/MacOS"
  cp "$build/KelpWord.app/Contents/Info.plist" "$bundle/Contents/"
  cp "$reference" "$bundle/Contents/MacOS/KelpWord"
  cp "$build/KelpWord.app/Contents/PlugIns/KelpWordShare.appex/Contents/Info.plist" \
    "$bundle/Contents/PlugIns/KelpWordShare.appex/Contents/"
  cp "$extension" "$bundle/Contents/PlugIns/KelpWordShare.appex/Contents/MacOS/"
  extension=$bundle/Contents/PlugIns/KelpWordShare.appex/Contents/MacOS/kelpword-share
  # A session bus of the demonstration's own: KelpWord's name on it is nobody else's.
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*}
  bus_pid=${bus##*$'\n'}
  echo "KelpWord is the reference application: it opens its window and waits for the share."
  env LD_PRELOAD="$nss" NSS_WRAPPER_PASSWD="$demo/passwd" NSS_WRAPPER_GROUP="$demo/group" \
    HOME="$home" XDG_DATA_HOME="$demo" XDG_DATA_DIRS="$demo" \
    "$bundle/Contents/MacOS/KelpWord" >"$demo/kelpword-reference.out" 2>&1 </dev/null &
  app_pid=$!
  sleep 1
fi
echo
echo "Sharing $recording"
echo "  with   $extension"
echo "  home   $home (through nss_wrapper)"
echo
status=0
share() {
  env LD_PRELOAD="$nss" NSS_WRAPPER_PASSWD="$demo/passwd" NSS_WRAPPER_GROUP="$demo/group" \
    HOME="$home" XDG_DATA_HOME="$demo" XDG_DATA_DIRS="$demo" \
    KELPWORD_STAND_IN_RECORD="$demo/KelpWord opened.txt" \
    "$extension" "$@"
}
if [ -n "${WAYLAND_DISPLAY:-}${DISPLAY:-}" ]; then
  # With a display the sheet is a window. The recording arrives on standard input, two seconds
  # late, so that the window's status line can be seen before KelpWord opens the copy.
  echo "A display is available: the sheet shows as a window while the recording arrives."
  name=$(basename "$recording")
  { sleep 2; cat "$recording"; } |
    share --type com.microsoft.waveform-audio --name "${name%.*}" - || status=$?
else
  share "$recording" || status=$?
fi
echo
echo "kelpword-share exited with status $status"

# The stand-in writes its record right after it starts; the reference application lists the
# file once the hand-off reaches it.
for _ in $(seq 50); do
  [ -s "$demo/KelpWord opened.txt" ] && break
  [ -n "$(received_by_reference)" ] && break
  sleep 0.1
done

echo
echo "In the inbox ($inbox):"
(cd "$inbox" && find . -mindepth 1 \( -type d -printf '  %P/\n' \) -o -printf '  %P  (%s bytes)\n' | sort)
echo
if [ -n "$reference" ]; then
  if [ -n "$(received_by_reference)" ]; then
    echo "KelpWord (the reference application) received and lists:"
    received_by_reference
    # Long enough to see the window; then the demonstration ends it.
    sleep "${KELPWORD_DEMO_LINGER:-5}"
  else
    echo "KelpWord (the reference application) received nothing:"
    sed 's/^/  /' "$demo/kelpword-reference.out"
    status=1
  fi
elif [ -s "$demo/KelpWord opened.txt" ]; then
  echo "The stand-in KelpWord was asked to open:"
  sed '/^$/d; s/^/  /' "$demo/KelpWord opened.txt"
else
  echo "The stand-in KelpWord was not started."
fi
exit "$status"
