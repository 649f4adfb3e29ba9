#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, benchmark and run.
# Idempotent: packages already present are skipped; apt lists are refreshed only when needed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  qt6-base-dev libgl-dev
  libssl-dev openssl zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev
  nginx-light microsocks curl
  xvfb xauth x11-utils xdg-utils fonts-dejavu-core fonts-dejavu-extra
  at-spi2-core python3-pyatspi dbus-x11  # the log read through the accessibility bus in tests
  clang libclang-rt-14-dev
  libxlsxwriter-dev unzip libreoffice-calc-nogui  # the spreadsheet export; unzip and Calc read its sheets back in tests
  desktop-file-utils man-db  # the release checks: the menu entry validated, the manual page rendered
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Keep package scripts from starting system services (nginx) on install.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
