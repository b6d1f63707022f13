#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need, when missing.
# `deps.sh demo` installs only what the demo needs (no test, benchmark or
# packaging tools; systemd for its unit checker), so a first demo run is short; `deps.sh fanout` that and
# NATS (nats-server and its C client; libsystemd for the gateway's sd_notify) for scripts/fanout-demo.sh. Node.js and npm fetch the
# page's chart library (and, for the tests, the browser driver); the machine's
# own are used when present.
set -euo pipefail
packages=(build-essential cmake pkg-config libace-dev libcli11-dev libfmt-dev libhowardhinnant-date-dev
          libpugixml-dev gnuplot-nox libmicrohttpd-dev nlohmann-json3-dev)
if [ "${1:-}" != demo ]; then
  packages+=(nats-server libnats-dev libsystemd-dev prometheus-cpp-dev)
fi
if [ "${1:-}" != demo ] && [ "${1:-}" != fanout ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev binutils dpkg-dev file chromium libcpp-httplib-dev
             clang-14 libfuzzer-14-dev libclang-rt-14-dev python3 python3-prometheus-client python3-cryptography
             g++-mingw-w64-x86-64-posix lintian openssl curl systemd)
fi
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
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
