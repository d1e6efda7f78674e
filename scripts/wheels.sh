#!/usr/bin/env bash
# wheels.sh PYTHON CACHE OUT: the two manylinux2014 wheels (x86-64 and ARM64),
# cross-built on this machine by scikit-build-core with zig against glibc 2.17,
# then checked with auditwheel. PYTHON is an interpreter with ziglang, build
# tools and auditwheel (make venv); CACHE keeps the arm64 root file system, whose
# pyconfig.h the ARM64 build reads.
set -euo pipefail
cache=$2 out=$3
root=$(pwd)
# Absolute, but not resolved: a virtual environment's interpreter is a symlink.
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
"$python" -m ziglang version >/dev/null 2>&1 \
  || { echo "wheels: no zig: install the index's ziglang into $python's environment (make venv does)"; exit 1; }
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
for arch in x86_64 aarch64; do
  case $arch in
    x86_64) pyconfig=/usr/include/x86_64-linux-gnu/python3.11/pyconfig.h ;;
    aarch64)
      rootfs=$cache/rootfs/bookworm-arm64
      scripts/rootfs.sh bookworm arm64 "$rootfs"
      pyconfig=$rootfs/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h ;;
  esac
  work=$root/build/cross/$arch
  scripts/cross/include-trees.sh "$pyconfig" "$work/include"
  export QBO_ZIG_TARGET=$arch-linux-gnu.2.17 QBO_ZIG_PYTHON=$python
  # The x86-64 module is optimised with a profile of the training traffic, run
  # on this machine by the same compiler's instrumented build (with clang 19's
  # profile runtime, which zig lacks). The ARM64 one, which could only be
  # trained under emulation, is built without.
  profile=()
  if [ "$arch" = x86_64 ]; then
    counts=$work/profile/counts
    rm -rf "$counts"
    cmake -S . -B "$work/profile/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQBO_TESTS=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$root/scripts/cross/zig.cmake" \
      -DQBO_BOOST_INCLUDE_DIR="$work/include/boost" -DQBO_PYTHON_INCLUDE_DIR="$work/include/python" \
      -DQBO_PROFILE=generate -DQBO_PROFILE_DIR="$counts" \
      -DQBO_PROFILE_RUNTIME=/usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.profile-x86_64.a >/dev/null
    cmake --build "$work/profile/build" --target quorvex_bo_fx_native
    "$python" scripts/profile_train.py "$work/profile/build/python/quorvex_bo/fx/_native.abi3.so"
    llvm-profdata-19 merge -o "$counts/merged.profdata" "$counts"/*.profraw
    profile=(-C cmake.define.QBO_PROFILE=use -C cmake.define.QBO_PROFILE_DIR="$counts")
  fi
  rm -f "$out"/quorvex_bo-"$version"-*"$arch".whl
  echo "== wheel for $arch"
  "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$out" \
    -C build-dir="$work/build" "${profile[@]}" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/scripts/cross/zig.cmake" \
    -C cmake.define.QBO_BOOST_INCLUDE_DIR="$work/include/boost" \
    -C cmake.define.QBO_PYTHON_INCLUDE_DIR="$work/include/python" \
    -C "wheel.tags=cp310-abi3-manylinux_2_17_$arch;cp310-abi3-manylinux2014_$arch" .
done
"$python" scripts/check_wheels.py "$out"/quorvex_bo-"$version"-*.whl
