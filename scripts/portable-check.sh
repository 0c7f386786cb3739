#!/usr/bin/env bash
# Does an exported copy run on a machine that never had the program's
# libraries? Builds a minimal Debian 12 system with debootstrap that holds
# only the base set the export relies on (the owners of the libraries that
# `orvanta-export --base-libraries` names: C library, GL, X and Wayland
# connection, sound clients, fonts), exports the built program with
# orvanta-export, runs the exported START.sh inside that system under Xvfb
# against the studio server on loopback, and prints whether it streamed.
#
#   sudo scripts/portable-check.sh [BUILD_DIR]
#
# Needs root (chroot, mounts), debootstrap, Xvfb and about 300 MB; takes a few
# minutes, most of it downloading. ORVANTA_CHROOT=DIR reuses (or leaves) the
# system in DIR instead of making and removing a temporary one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mirror=${ORVANTA_MIRROR:-http://deb.debian.org/debian}
program=$build/app/orvanta
exporter=$build/tools/orvanta-export/orvanta-export
studio=$build/tools/orvanta-studio/orvanta-studio
for f in "$program" "$exporter" "$studio"; do
  [ -x "$f" ] || { echo "portable-check: $f is missing; build it first" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "portable-check: needs root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "portable-check: needs debootstrap" >&2; exit 2; }

work=$(mktemp -d /var/tmp/orvanta-portable.XXXXXX)
root=${ORVANTA_CHROOT:-$work/root}
pids=()
mounts=()
cleanup() {
  local pid m
  for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[$i]}" 2>/dev/null || true; done
  [ -z "${inside:-}" ] || rm -rf --one-file-system "${root:?}$inside"
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
say() { echo "portable-check: $*"; }
started=$SECONDS

# The studio on loopback ports of the system's choosing; the copy runs in the
# same network namespace.
set -m
"$studio" --srt 127.0.0.1:0 --http 127.0.0.1:0 --record "$work/recordings" >"$work/studio.log" 2>&1 &
pids+=($!)
set +m
line=""
for _ in $(seq 100); do line=$(grep -m1 '^orvanta-studio: SRT ' "$work/studio.log") && break; sleep 0.1; done
[[ $line =~ SRT\ ([0-9.]+:[0-9]+),\ HTTP\ ([0-9.]+:[0-9]+) ]] || { cat "$work/studio.log"; exit 1; }
srt=${BASH_REMATCH[1]} http=${BASH_REMATCH[2]}
say "studio server: SRT $srt, HTTP $http"

if [ -x "$root/bin/sh" ]; then
  say "reusing the system in $root"
else
  say "making a minimal Debian 12 system in $root (debootstrap, downloads from $mirror)"
  mkdir -p "$root"
  debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log"; exit 1; }
fi
for m in proc dev; do mount --bind "/$m" "$root/$m"; mounts+=("$root/$m"); done
# Exported straight into the system, where it runs.
inside=/opt/$(basename "$work")  # removed again by cleanup
mkdir -p "$root$inside"
mapfile -t exported < <("$exporter" "$program" "$root$inside" "srt://$srt/portable/1024/64/SD")
[ -n "${exported[0]:-}" ] || exit 1
folder=${exported[0]}
copy=$inside/$(basename "$folder")
say "exported $(awk "BEGIN{printf \"%.1f\", ${exported[1]}/1e6}") MB to $folder"

# The packages that own the base set's libraries on this machine: what a
# plain desktop is relied on to have, and nothing the copy happens to need
# besides. A library the copy leaves to the system beyond that shows below
# as missing.
base_packages() {
  local name path known
  known=$(ldconfig -p)
  "$exporter" --base-libraries | while read -r name; do
    path=$(awk -v n="$name" '$1 == n && /x86-64/ {print $NF; exit}' <<<"$known")
    [ -n "$path" ] || continue
    for candidate in "$(realpath "$path")" "$path" "/usr$path" "${path#/usr}"; do
      dpkg -S "$candidate" 2>/dev/null | head -n1 | cut -d: -f1 && break
    done
  done | sort -u
}
mapfile -t packages < <(base_packages)
packages+=(fonts-dejavu-core)
say "base set: ${packages[*]}"

say "installing the base set into it"
chroot "$root" apt-get update -qq >"$work/apt.log" 2>&1
DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq --no-install-recommends "${packages[@]}" \
  >>"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log"; exit 1; }
chroot "$root" apt-get clean
say "the system holds $(du -sm --exclude=proc --exclude=dev --exclude=opt "$root" | cut -f1) MB besides the copy"

for lib in libQt5Core.so.5 libavcodec.so.59 libsrt-gnutls.so.1.5 libopenh264.so.7 libx264.so.164; do
  if chroot "$root" sh -c "ldconfig -p | grep -q ' $lib '"; then
    say "the system has $lib, so the check proves nothing"; exit 1
  fi
done
say "the system has none of Qt, FFmpeg, libsrt, openh264 or x264"

missing=$(chroot "$root" env LD_LIBRARY_PATH="$copy/App/lib" ldd "$copy/App/orvanta" "$copy/App/plugins/platforms/libqxcb.so" |
  grep 'not found' || true)
[ -z "$missing" ] && say "every library resolves inside the system" || say "missing there: $missing"

source scripts/x-display.sh
set -m
orvanta_start_x "$work/xvfb.log" Xvfb -screen 0 1280x800x24 -nolisten tcp || say "Xvfb did not start"
pids+=($ORVANTA_X_PID)
set +m
disp=$ORVANTA_X_DISPLAY

say "running START.sh there"
mkdir -p "$root/tmp/runtime" && chmod 700 "$root/tmp/runtime"
set -m
chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root DISPLAY=:$disp XDG_RUNTIME_DIR=/tmp/runtime \
  /bin/sh "$copy/START.sh" >"$work/program.log" 2>&1 &
pids+=($!)
set +m

status() {
  python3 - "$http" <<'EOF'
import json, sys, urllib.request
try:
    data = json.load(urllib.request.urlopen("http://%s/status" % sys.argv[1], timeout=3))
except Exception:
    print(0); sys.exit()
print(max([s.get("bytes", 0) for s in data.get("streams", []) if s.get("id") == "portable" and s.get("kind") == "media"] or [0]))
EOF
}
bytes=0
for _ in $(seq 120); do
  bytes=$(status)
  [ "$bytes" -ge 500000 ] && break
  kill -0 "${pids[-1]}" 2>/dev/null || break
  sleep 0.5
done
if [ "$bytes" -ge 500000 ]; then
  kill -- "-${pids[-1]}" 2>/dev/null || true
  sleep 1
  recording=$(ls "$work"/recordings/portable*.ts 2>/dev/null | head -n1)
  video=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 "$recording" 2>/dev/null | head -n1 || true)
  say "streamed: yes ($bytes bytes arrived at the studio; recording: ${video:-not probed}); took $((SECONDS - started)) s"
  exit 0
fi
say "streamed: no ($bytes bytes arrived; took $((SECONDS - started)) s); the program said:"
tail -n 30 "$work/program.log"
exit 1
