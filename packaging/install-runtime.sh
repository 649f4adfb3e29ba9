#!/usr/bin/env bash
# Installs the Debian 12 packages the programs in this folder need to run, and nothing else: no
# compilers, no development packages. Packages already present are left alone.
#   sudo ./install-runtime.sh            for the window program and the command
#   sudo ./install-runtime.sh --cli      for the command alone (a server without a display)
#   ./install-runtime.sh --list [--cli]  print the package names, install nothing
set -euo pipefail

# What supplier-harvester-cli loads (QtCore, the spreadsheet writer, zlib, the C++ runtime); the
# OpenSSL libraries are the copies beside the programs.
CLI_PACKAGES=(libc6 libgcc-s1 libstdc++6 zlib1g libqt6core6 libxlsxwriter4)
# And for the window: Qt's GUI and widgets (with the X11 platform plugin), the window's fonts,
# and xdg-open, which opens the finished result file.
WINDOW_PACKAGES=(libqt6gui6 libqt6widgets6 fonts-dejavu-core fonts-dejavu-extra xdg-utils)

usage() {
  echo "usage: $0 [--cli] [--list]" >&2
  exit 2
}

cli=false
list=false
for arg in "$@"; do
  case $arg in
    --cli) cli=true ;;
    --list) list=true ;;
    -h | --help)
      sed -n '2,6s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *) usage ;;
  esac
done

packages=("${CLI_PACKAGES[@]}")
$cli || packages+=("${WINDOW_PACKAGES[@]}")

if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-runtime: all packages present"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-runtime: missing ${missing[*]}; run as root: sudo $0 $*" >&2
  exit 1
fi
echo "install-runtime: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
