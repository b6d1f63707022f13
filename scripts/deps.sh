#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need, when missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libace-dev libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libfmt-dev libhowardhinnant-date-dev libpugixml-dev gnuplot-nox binutils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
