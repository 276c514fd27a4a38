#!/usr/bin/env bash
# Installs what the Windows cross build and its Wine tests need, when any is missing: MinGW-w64
# (its -posix compilers), Wine, and GoogleTest's sources (built with the cross compiler).
set -euo pipefail

packages=(g++-mingw-w64-x86-64 wine wine64 googletest)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
