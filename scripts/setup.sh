#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, benchmark and run. Idempotent.
set -euo pipefail
packages=(
  build-essential g++ g++-multilib cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libpng-dev libyuv-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
