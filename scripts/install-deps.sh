#!/usr/bin/env bash
# Installs every Debian package the launcher's build, tests and run need.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  libimgui-dev libglfw3-dev libgl-dev libgl1-mesa-dri libx11-dev
  libcpp-httplib-dev libmicrohttpd-dev libssl-dev rapidjson-dev libstb-dev libzip-dev zlib1g-dev libbrotli-dev
  fonts-roboto-unhinted libfontconfig-dev fonts-noto-core fonts-noto-cjk fonts-dejavu-core
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils xdotool imagemagick zenity xdg-utils tesseract-ocr
  zip unzip libarchive-tools curl openssl python3 python3-cryptography iproute2 util-linux procps
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
