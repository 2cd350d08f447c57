#!/usr/bin/env bash
# Installs everything Corvane needs to build and test on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
# A fresh machine often runs its own upgrades first: wait for them rather than fail. apt-get install waits
# for the package lock by itself; update does not, so it is tried again while another holds the lists.
lock_wait=1800
apt_update() {
  local waited=0 out
  until out=$(apt-get update -qq 2>&1); do
    if ! grep -q "Could not get lock" <<<"$out" || (( waited >= lock_wait )); then
      printf '%s\n' "$out" >&2
      return 1
    fi
    (( waited == 0 )) && echo "install-deps: waiting for another package manager to finish" >&2
    sleep 5
    waited=$((waited + 5))
  done
  [[ -z "$out" ]] || printf '%s\n' "$out" >&2
}
apt_update
apt-get install -o DPkg::Lock::Timeout=$lock_wait -y -qq --no-install-recommends \
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config \
  libssl-dev libcurl4-openssl-dev libexpat1-dev nlohmann-json3-dev libenet-dev libopus-dev \
  libavcodec-dev libavutil-dev libswscale-dev libsdl2-dev libsystemd-dev qt6-base-dev libqt6opengl6-dev qcoro-qt6-dev \
  libqt6svg6 libarchive-dev libisal-dev libcpp-httplib-dev libx11-dev libxi-dev libxfixes-dev \
  openssl ca-certificates ffmpeg opus-tools tshark wireshark-common xvfb xauth libgl1-mesa-dri xdotool xclip x11-utils \
  python3 python3-cryptography iproute2 \
  openbox xcompmgr wmctrl dbus dbus-x11 python3-dbus python3-gi gir1.2-gtk-3.0 dunst curl libarchive-tools \
  desktop-file-utils libglib2.0-bin >/dev/null
