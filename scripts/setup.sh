#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need. Python
# packages come from the index, into virtual environments (scripts/venv.sh).
# Asks apt-get only when something is missing, so repeated runs are instant.
set -euo pipefail

packages=(
  g++ cmake ninja-build make
  libboost1.81-dev libgtest-dev libbenchmark-dev
  python3-dev python3-pip python3-venv
  # the sandbox's tests (QR scanning, its pages in a browser); the payment book's
  # (a PostgreSQL server; a Redis server, the broker of its Celery tasks)
  zbar-tools chromium chromium-driver postgresql redis-server
  # the wheels' tests: Debian root file systems, ARM64 under qemu-user
  debootstrap qemu-user-static binfmt-support
  # fuzzing (clang with libc++ and its sanitizer runtimes), the compile cache, valgrind
  ccache valgrind clang-16 libc++-16-dev libc++abi-16-dev libfuzzer-16-dev libclang-rt-16-dev
  # the x86-64 wheel's profile: clang 19's profile runtime (zig has none) and the
  # tool that merges the counts
  libclang-rt-19-dev llvm-19
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
