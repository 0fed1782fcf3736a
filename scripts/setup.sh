#!/usr/bin/env bash
# Installs what the build, the tests and the sample need (Debian packages). Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev ccache zlib1g-dev
  dosfstools mtools exfatprogs exfat-fuse ntfs-3g fuse3 attr fdisk gdisk xorriso genisoimage udftools sleuthkit
  libewf-dev ewf-tools ldmtool e2fsprogs
  zip unzip tar gzip xz-utils gcab imagemagick ghostscript fonts-dejavu-core
  nasm
  python3 zsh
  qt6-base-dev xvfb xauth x11-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
