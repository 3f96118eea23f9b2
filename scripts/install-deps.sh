#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the gateway need,
# and only those that are missing; the package index is refreshed only then.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config             # toolchain
  clang-14 libclang-rt-14-dev                  # fuzz targets (-DZ3GW_FUZZ=ON)
  libsqlite3-dev libcjson-dev libnanomsg-dev   # the daemon's libraries
  libgtest-dev libbenchmark-dev                # tests and benchmarks
  nanomsg-utils socat iproute2                 # tests and the demo
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
