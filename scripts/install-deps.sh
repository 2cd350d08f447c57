#!/usr/bin/env bash
# Installs everything Corvane needs to build and test on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config \
  libssl-dev libcurl4-openssl-dev libexpat1-dev nlohmann-json3-dev libenet-dev libopus-dev \
  libavcodec-dev libavutil-dev libswscale-dev libsdl2-dev libsystemd-dev qt6-base-dev libqt6opengl6-dev qcoro-qt6-dev \
  libqt6svg6 libarchive-dev libisal-dev libcpp-httplib-dev libx11-dev libxi-dev libxfixes-dev \
  openssl ca-certificates ffmpeg opus-tools tshark wireshark-common xvfb xauth libgl1-mesa-dri xdotool xclip \
  python3 python3-cryptography iproute2 \
  openbox xcompmgr wmctrl dbus dbus-x11 python3-dbus python3-gi gir1.2-gtk-3.0 dunst curl libarchive-tools \
  desktop-file-utils libglib2.0-bin >/dev/null
