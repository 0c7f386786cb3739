#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test Orvanta;
# with --run only those that building and running the program need.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config ninja-build mold
  qtbase5-dev qtmultimedia5-dev libqt5svg5-dev libqt5multimedia5-plugins qtbase5-dev-tools
  libavformat-dev libavcodec-dev libavdevice-dev libavfilter-dev libavutil-dev
  libswscale-dev libswresample-dev libopenh264-dev
  libsrt-gnutls-dev
  libpulse-dev libwebrtc-audio-processing-dev libspeexdsp-dev libyuv-dev
  qtkeychain-qt5-dev
  libx11-dev libxext-dev libxfixes-dev libxrender-dev
  libpipewire-0.3-dev
)
[ "${1:-}" = --run ] || PKGS+=(
  srt-tools pulseaudio pulseaudio-utils
  pipewire wireplumber dbus
  sway xwayland xdg-desktop-portal xdg-desktop-portal-wlr x11-xserver-utils qtwayland5
  ffmpeg xvfb xserver-xephyr xauth x11-utils xdotool openbox xcompmgr
  espeak-ng gnome-keyring libsecret-tools
  clang libclang-rt-dev
  desktop-file-utils xdg-utils dpkg-dev file
  python3
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
