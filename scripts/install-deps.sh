#!/usr/bin/env bash
# Installs what building and testing Zorbel needs on Debian 12, as root.
# Installs nothing when everything is already there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git python3
  libgtest-dev libgmock-dev libbenchmark-dev
  libtomlplusplus-dev libcli11-dev nlohmann-json3-dev nettle-dev
  qt6-base-dev libgl-dev fonts-liberation2 fonts-dejavu-core
  clang clang-format libclang-rt-14-dev
  qemu-system-x86 xvfb ansible-core openssh-server sg3-utils linux-libc-dev jq
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386
  osslsigncode openssl help2man dpkg-dev debhelper lintian
)
# wine32 (the i686 programs' tests) is an i386 package.
foreign=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  foreign=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})) || ((foreign)); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if ((${#missing[@]})); then
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi
