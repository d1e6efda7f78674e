#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Asks apt-get only when something is missing, so repeated runs are instant.
set -euo pipefail

packages=(
  g++ cmake ninja-build make
  libboost1.81-dev libgtest-dev libbenchmark-dev
  python3-dev python3-pytest python3-hypothesis python3-httpx python3-mypy
  python3-setuptools python3-wheel python3-build python3-pip python3-venv
  # the sandbox gateway (QR images) and its tests (QR scanning, the payer page in a browser)
  python3-segno zbar-tools chromium chromium-driver python3-selenium
  # fuzzing (clang with libc++ and its sanitizer runtimes), the compile cache, valgrind
  ccache valgrind clang-16 libc++-16-dev libc++abi-16-dev libfuzzer-16-dev libclang-rt-16-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg -s "$package" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
